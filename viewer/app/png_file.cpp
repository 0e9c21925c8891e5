#include "png_file.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "output_file.h"

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

// The image into a temporary file beside `path`, moved to `path` only when
// complete: over an existing file, or, with `keep_existing`, never.
static bool save_png_rgb(const char* path, int width, int height, const uint8_t* pixels, bool keep_existing,
                         bool* existed, std::string* error)
{
    *existed = false;
    if (width < 1 || height < 1) {
        *error = "the image is empty";
        return false;
    }
    OutputFile out;
    if (!begin_output(path, &out)) {
        *error = out.error ? std::strerror(out.error) : "it is a directory";
        return false;
    }
    bool ok = write_png_rgb_stream(out.file, width, height, pixels, false);
    bool closed = std::fclose(out.file) == 0;
    out.file = nullptr;
    if (!ok || !closed) {
        discard_output(&out);
        *error = "the PNG could not be written";
        return false;
    }
    int e = 0;
    if (keep_existing ? commit_output_new(&out, &e) : commit_output(&out, &e))
        return true;
    *existed = e == EEXIST;
    *error = std::strerror(e);
    return false;
}

bool write_png_rgb(const char* path, int width, int height, const uint8_t* pixels,
                   std::string* error)
{
    bool existed;
    return save_png_rgb(path, width, height, pixels, false, &existed, error);
}

bool write_new_png_rgb(const char* path, int width, int height, const uint8_t* pixels, bool* existed,
                       std::string* error)
{
    return save_png_rgb(path, width, height, pixels, true, existed, error);
}
