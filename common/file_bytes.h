// Whole-file reads for the binary formats.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the whole file at `path` into a malloc'd buffer (free it with
// free). Null when it cannot be opened (`*opened` false, if given), or when
// memory or a read fails (`*opened` true). `*size` gets the byte count.
uint8_t* read_file_bytes(const char* path, size_t* size, bool* opened = nullptr);
