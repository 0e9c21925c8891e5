#include "file_bytes.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

uint8_t* read_file_bytes(const char* path, size_t* size, bool* opened, FileKind* kind, int* error_out)
{
    *size = 0;
    if (opened)
        *opened = false;
    FileKind k;
    int error;
    size_t want;
    int fd = open_regular_file(path, &k, &error, &want);
    if (kind)
        *kind = k;
    if (error_out)
        *error_out = error;
    if (fd < 0)
        return nullptr;
    if (opened)
        *opened = true;
    // Never more than the size the file had when opened: a file that grows
    // while it is read (or claims a size it does not hold) cannot make the
    // read run on.
    uint8_t* buf = (uint8_t*)std::malloc(want ? want : 1);
    size_t n = 0;
    while (buf && n < want) {
        ssize_t got = read(fd, buf + n, want - n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            std::free(buf);
            buf = nullptr;
            break;
        }
        if (got == 0)
            break;
        n += (size_t)got;
    }
    close(fd);
    *size = buf ? n : 0;
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

std::vector<std::string> split_text_at(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}
