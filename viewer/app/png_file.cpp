#include "png_file.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

bool write_png_rgb_stream(FILE* f, int width, int height, const uint8_t* pixels, bool fast)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows((size_t)height);
    for (int y = 0; y < height; ++y)
        rows[(size_t)y] = (png_bytep)(pixels + (size_t)(height - 1 - y) * (size_t)width * 3);
    bool ok = png && info;
    // libpng reports its errors by a long jump back here.
    if (ok && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_set_IHDR(png, info, (png_uint_32)width, (png_uint_32)height, 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (fast) {
            // One filter and light compression: several times faster, the
            // file a little larger.
            png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
            png_set_compression_level(png, 1);
        }
        png_write_info(png, info);
        png_write_image(png, rows.data());
        png_write_end(png, nullptr);
    } else {
        ok = false;
    }
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    return ok;
}

bool write_png_rgb(const char* path, int width, int height, const uint8_t* pixels,
                   std::string* error)
{
    if (width < 1 || height < 1) {
        *error = "the image is empty";
        return false;
    }
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        *error = std::strerror(errno);
        return false;
    }
    bool ok = write_png_rgb_stream(f, width, height, pixels, false);
    if (std::fclose(f) != 0)
        ok = false;
    if (!ok) {
        *error = "the PNG could not be written";
        std::remove(path);
    }
    return ok;
}
