// The byte layer of the binary formats: whole-file reads and the
// little-endian encoding of 16- and 32-bit integers and 32-bit floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "user_files.h"

// Reads the whole file at `path` into a malloc'd buffer (free it with
// free), at most the size it had when opened. Null when it cannot be opened
// or is not a regular file (`*opened` false, if given; `*kind` says what it
// is, `*error` the errno of a failed open), or when memory or a read fails
// (`*opened` true). `*size` gets the byte count.
uint8_t* read_file_bytes(const char* path, size_t* size, bool* opened = nullptr, FileKind* kind = nullptr,
                         int* error = nullptr);

// The lines of a text without their line breaks ("\n" or "\r\n"); a final
// line break ends the last line rather than starting an empty one.
std::vector<std::string> split_text_lines(const std::string& text);
// The parts of `text` between the `separator`s, empty ones included: "a,,b"
// gives "a", "", "b" and "" gives one empty part.
std::vector<std::string> split_text_at(const std::string& text, char separator);

inline uint16_t load_u16_le(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

inline uint32_t load_u32_le(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline float load_f32_le(const uint8_t* p)
{
    uint32_t bits = load_u32_le(p);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

inline void store_u16_le(uint8_t* p, uint16_t v)
{
    p[0] = (uint8_t)(v & 0xFF);
    p[1] = (uint8_t)(v >> 8);
}

inline void store_u32_le(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (uint8_t)((v >> (8 * i)) & 0xFF);
}

inline void store_f32_le(uint8_t* p, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    store_u32_le(p, bits);
}
