#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

// The temporary file's path for the signal handler, which may only call
// async-signal-safe functions: a fixed buffer, cleared once the file is gone.
static char pending_temp[PATH_MAX + 1];

static void remove_pending_temp(int sig)
{
    if (pending_temp[0])
        unlink(pending_temp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

static void watch_temp(const std::string& path)
{
    if (path.size() > PATH_MAX)
        return;
    std::memcpy(pending_temp, path.c_str(), path.size() + 1);
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored by the parent (nohup, a shell's background job)
        // stays ignored: catching it would let it end the run.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = remove_pending_temp;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

static void forget_temp() { pending_temp[0] = '\0'; }

// Folder part of a path, "." when it has none.
static std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

static std::string base_name_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool begin_output(const char* path, OutputFile* out)
{
    out->file = nullptr;
    out->target = path;
    out->temp_path.clear();
    out->target_existed = false;
    out->error = 0;

    // A link is followed, so that the file it names gets the new map, as
    // writing through it would.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX + 1];
        if (realpath(path, resolved))
            out->target = resolved;
    }
    mode_t mode;
    if (stat(out->target.c_str(), &st) == 0) {
        out->target_existed = true;
        if (S_ISDIR(st.st_mode))
            return false;
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe holds no map to keep: write to it directly.
            out->file = std::fopen(out->target.c_str(), "wb");
            out->error = out->file ? 0 : errno;
            return out->file != nullptr;
        }
        // The old map is replaced, never written: only check that it could be.
        int fd = open(out->target.c_str(), O_WRONLY);
        if (fd < 0) {
            out->error = errno;
            return false;
        }
        close(fd);
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    // A hidden name beside the target; the name is cut so that it stays a
    // valid file name however long the target's is.
    std::string base = base_name_of(out->target).substr(0, 200);
    std::string pattern = folder_of(out->target) + "/." + base + ".XXXXXX";
    std::string buf = pattern;
    int fd = mkstemp(&buf[0]);
    if (fd < 0) {
        out->error = errno;
        return false;
    }
    out->temp_path = buf;
    watch_temp(out->temp_path);
    fchmod(fd, mode);
    out->file = fdopen(fd, "wb");
    if (!out->file) {
        out->error = errno;
        close(fd);
        discard_output(out);
        return false;
    }
    return true;
}

// The output's bytes reach the disk before its name does, so that even a
// power cut leaves the old file or the new one.
static void sync_temp(const OutputFile* out)
{
    int fd = open(out->temp_path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool commit_output(OutputFile* out, int* error)
{
    *error = 0;
    if (out->temp_path.empty())
        return true;
    sync_temp(out);
    if (std::rename(out->temp_path.c_str(), out->target.c_str()) != 0) {
        *error = errno;
        discard_output(out);
        return false;
    }
    out->temp_path.clear();
    forget_temp();
    return true;
}

// Moves `from` to `to` unless `to` exists, in one step. Where the file
// system has no such rename, a hard link does the same (it fails when the
// name is taken) and the temporary name is then removed.
static bool rename_new(const char* from, const char* to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (link(from, to) != 0)
        return false;
    unlink(from);
    return true;
}

bool commit_output_new(OutputFile* out, int* error)
{
    *error = 0;
    if (out->temp_path.empty()) {
        // Written in place: only a device or pipe, which holds no file to keep.
        return true;
    }
    sync_temp(out);
    if (!rename_new(out->temp_path.c_str(), out->target.c_str())) {
        *error = errno;
        discard_output(out);
        return false;
    }
    out->temp_path.clear();
    forget_temp();
    return true;
}

void discard_output(OutputFile* out)
{
    if (out->file) {
        std::fclose(out->file);
        out->file = nullptr;
    }
    if (!out->temp_path.empty()) {
        unlink(out->temp_path.c_str());
        out->temp_path.clear();
        forget_temp();
    }
}
