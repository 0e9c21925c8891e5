// What the library's files share: the map handle and the message helper.
#pragma once

#include <cstddef>

#include "ksm/ksm.h"
#include "map_format.h"

// A loaded and checked map; read-only once loaded.
struct ksm_map {
    LoadedMap loaded;
};

// Writes the formatted message into `message` (cut to fit, zero-terminated;
// nothing when `message` is null or `size` 0) and returns `status`.
ksm_status fail_with(char* message, size_t size, ksm_status status, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Clears the message buffer, as every call does on success.
void clear_message(char* message, size_t size);
