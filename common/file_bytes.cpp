#include "file_bytes.h"

#include <cstdio>
#include <cstdlib>

uint8_t* read_file_bytes(const char* path, size_t* size, bool* opened)
{
    *size = 0;
    if (opened)
        *opened = false;
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return nullptr;
    if (opened)
        *opened = true;
    size_t cap = 1 << 16, n = 0;
    uint8_t* buf = (uint8_t*)std::malloc(cap);
    while (buf) {
        if (n == cap) {
            uint8_t* grown = (uint8_t*)std::realloc(buf, cap * 2);
            if (!grown) {
                std::free(buf);
                buf = nullptr;
                break;
            }
            buf = grown;
            cap *= 2;
        }
        size_t got = std::fread(buf + n, 1, cap - n, f);
        n += got;
        if (got == 0) {
            if (std::ferror(f)) {
                std::free(buf);
                buf = nullptr;
            }
            break;
        }
    }
    std::fclose(f);
    *size = n;
    return buf;
}

std::vector<std::string> split_text_lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (!lines.back().empty() && lines.back().back() == '\r')
            lines.back().pop_back();
    }
    return lines;
}
