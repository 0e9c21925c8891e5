// Screenshots as PNG files, through libpng.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Writes an 8-bit RGB image of width x height pixels to `path`. `pixels`
// holds the rows bottom first, as glReadPixels returns them, 3 bytes a
// pixel with no row padding; the file has the top row first. The image is
// written beside `path` and moved over it when complete, so a failed write
// leaves `path` as it was. Returns false with a short reason in `error`
// when the file cannot be written.
bool write_png_rgb(const char* path, int width, int height, const uint8_t* pixels,
                   std::string* error);
// The same image into an open stream (left open); width and height at
// least 1. `fast` trades a somewhat larger file for several times the
// speed. False when libpng fails.
bool write_png_rgb_stream(FILE* f, int width, int height, const uint8_t* pixels, bool fast);
// The same, but never replaces a file: when `path` exists (made meanwhile by
// another program), false with `*existed` set and nothing changed.
bool write_new_png_rgb(const char* path, int width, int height, const uint8_t* pixels, bool* existed,
                       std::string* error);
