#include "user_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

static FileKind kind_of_mode(mode_t mode)
{
    if (S_ISREG(mode))
        return FILE_REGULAR;
    if (S_ISDIR(mode))
        return FILE_DIRECTORY;
    if (S_ISFIFO(mode))
        return FILE_FIFO;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FILE_DEVICE;
    if (S_ISSOCK(mode))
        return FILE_SOCKET;
    return FILE_OTHER;
}

std::string file_kind_text(FileKind kind, int error)
{
    switch (kind) {
    case FILE_MISSING: return error ? std::strerror(error) : "cannot be opened";
    case FILE_REGULAR: return "is a regular file";
    case FILE_DIRECTORY: return "is a directory";
    case FILE_FIFO: return "is a named pipe";
    case FILE_DEVICE: return "is a device";
    case FILE_SOCKET: return "is a socket";
    case FILE_OTHER: break;
    }
    return "is not a regular file";
}

int open_regular_file(const char* path, FileKind* kind, int* error, size_t* size)
{
    *kind = FILE_MISSING;
    *error = 0;
    *size = 0;
    // O_NONBLOCK: opening a named pipe with no writer would wait forever.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = errno;
        // A socket cannot be opened at all; say what it is all the same.
        struct stat st;
        if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
            *kind = kind_of_mode(st.st_mode);
            *error = 0;
        }
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = errno;
        close(fd);
        return -1;
    }
    *kind = kind_of_mode(st.st_mode);
    if (*kind != FILE_REGULAR) {
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *size = (size_t)st.st_size;
    return fd;
}

bool is_regular_file(const char* path, FileKind* kind)
{
    FileKind k;
    int error;
    size_t size;
    int fd = open_regular_file(path, &k, &error, &size);
    if (kind)
        *kind = k;
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

FILE* open_regular_stream(const char* path, FileKind* kind, int* error)
{
    FileKind k;
    int e;
    size_t size;
    int fd = open_regular_file(path, &k, &e, &size);
    FILE* f = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !f) {
        e = errno;
        k = FILE_MISSING;
        close(fd);
    }
    if (kind)
        *kind = k;
    if (error)
        *error = e;
    return f;
}

bool same_existing_file(const char* a, const char* b)
{
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string follow_links(const std::string& path)
{
    std::string at = path;
    struct stat st;
    for (int hops = 0; hops < 40 && lstat(at.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
        char link[PATH_MAX + 1];
        ssize_t n = readlink(at.c_str(), link, PATH_MAX);
        if (n <= 0)
            break;
        link[n] = '\0';
        at = link[0] == '/' ? std::string(link) : folder_of(at) + "/" + link;
    }
    return at;
}

bool check_output_path(const char* path, const char* const* inputs, int input_count, std::string* reason,
                       int* input_hit)
{
    *input_hit = -1;
    for (int i = 0; i < input_count; ++i) {
        if (inputs[i] && same_existing_file(path, inputs[i])) {
            *input_hit = i;
            *reason = std::string("it is the input \"") + inputs[i] + "\"";
            return false;
        }
    }
    struct stat st;
    std::string target = path;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *reason = "it is a directory";
            return false;
        }
        // A device or a pipe (/dev/null, a shell's >(...)) is written in
        // place: no file is made beside it, so its folder does not matter.
        if (!S_ISREG(st.st_mode))
            return true;
        char resolved[4096];
        if (realpath(path, resolved))
            target = resolved;
    } else {
        // A dangling link: the file is created where it points.
        target = follow_links(path);
    }
    std::string folder = folder_of(target);
    if (stat(folder.c_str(), &st) != 0) {
        int e = errno;
        *reason = "its folder \"" + folder + "\" " +
                  (e == ENOENT ? std::string("does not exist") : std::string("cannot be reached: ") + std::strerror(e));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *reason = "\"" + folder + "\" is not a directory";
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        *reason = "its folder \"" + folder + "\" takes no new file: " + std::strerror(errno);
        return false;
    }
    return true;
}
