#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "user_files.h"

// The temporary files' paths for the signal handler, which may only call
// async-signal-safe functions: fixed buffers, each cleared once its file is
// gone. A run may write several outputs at once (a movie and pictures).
static const int PENDING_SLOTS = 8;
static char pending_temp[PENDING_SLOTS][PATH_MAX + 1];

static void remove_pending_temps(int sig)
{
    for (int i = 0; i < PENDING_SLOTS; ++i)
        if (pending_temp[i][0])
            unlink(pending_temp[i]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

static void watch_temp(const std::string& path)
{
    if (path.size() > PATH_MAX)
        return;
    for (int i = 0; i < PENDING_SLOTS; ++i) {
        if (!pending_temp[i][0]) {
            std::memcpy(pending_temp[i], path.c_str(), path.size() + 1);
            break;
        }
    }
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
        sa.sa_handler = remove_pending_temps;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

static void forget_temp(const std::string& path)
{
    for (int i = 0; i < PENDING_SLOTS; ++i)
        if (pending_temp[i][0] && path == pending_temp[i])
            pending_temp[i][0] = '\0';
}

static std::string base_name_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An unnamed file in `folder` (O_TMPFILE), or -1 where the system or the
// file system offers none or /proc (needed to link it in) is missing.
static int open_unnamed(const std::string& folder, mode_t mode)
{
#ifdef O_TMPFILE
    if (access("/proc/self/fd", X_OK) != 0)
        return -1;
    return open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
#else
    (void)folder;
    (void)mode;
    return -1;
#endif
}

static bool begin_output_file(const char* path, bool named, OutputFile* out)
{
    out->file = nullptr;
    out->target = path;
    out->temp_path.clear();
    out->target_existed = false;
    out->error = 0;
    out->unnamed_fd = -1;

    // A link is followed, so that the file it names gets the new map, as
    // writing through it would.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX + 1];
        if (realpath(path, resolved))
            out->target = resolved;
        else
            out->target = follow_links(path);
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

    int unnamed = named ? -1 : open_unnamed(folder_of(out->target), mode);
    if (unnamed >= 0) {
        out->unnamed_fd = dup(unnamed);
        out->file = out->unnamed_fd >= 0 ? fdopen(unnamed, "wb") : nullptr;
        if (out->file) {
            fchmod(unnamed, mode);
            return true;
        }
        close(unnamed);
        if (out->unnamed_fd >= 0)
            close(out->unnamed_fd);
        out->unnamed_fd = -1;
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

bool begin_output(const char* path, OutputFile* out)
{
    return begin_output_file(path, false, out);
}

bool begin_named_output(const char* path, OutputFile* out)
{
    return begin_output_file(path, true, out);
}

// Gives the unnamed file open as `fd` the name `path` (which must not exist).
static bool link_unnamed_as(int fd, const char* path)
{
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

// Gives the unnamed file a hidden name beside the target (as the named
// temporary file would have had); false with errno set when it cannot.
static bool link_unnamed(OutputFile* out)
{
    std::string stem = folder_of(out->target) + "/." + base_name_of(out->target).substr(0, 200) + ".";
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned seed = (unsigned)getpid() ^ (unsigned)out->unnamed_fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (int i = 0; i < 6; ++i) {
            seed = seed * 1103515245u + 12345u + (unsigned)attempt;
            name += letters[(seed >> 16) % (sizeof letters - 1)];
        }
        if (link_unnamed_as(out->unnamed_fd, name.c_str())) {
            out->temp_path = name;
            watch_temp(out->temp_path);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
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
    if (out->unnamed_fd >= 0) {
        // The bytes reach the disk before the file gets a name. A new output
        // gets its name at once; an existing one is replaced by a rename
        // from a hidden name, as the named temporary file would be.
        fsync(out->unnamed_fd);
        bool linked = link_unnamed_as(out->unnamed_fd, out->target.c_str());
        bool named = linked || link_unnamed(out);
        int e = errno;
        close(out->unnamed_fd);
        out->unnamed_fd = -1;
        if (!named) {
            *error = e;
            return false;
        }
        if (linked)
            return true;
    } else if (!out->temp_path.empty()) {
        sync_temp(out);
    }
    if (out->temp_path.empty())
        return true;
    if (std::rename(out->temp_path.c_str(), out->target.c_str()) != 0) {
        *error = errno;
        discard_output(out);
        return false;
    }
    forget_temp(out->temp_path);
    out->temp_path.clear();
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
    if (out->unnamed_fd >= 0) {
        // Linking the unnamed file in fails when the name is taken.
        fsync(out->unnamed_fd);
        bool linked = link_unnamed_as(out->unnamed_fd, out->target.c_str());
        int e = errno;
        if (!linked && (e == EEXIST || !link_unnamed(out))) {
            *error = e == EEXIST ? EEXIST : errno;
            discard_output(out);
            return false;
        }
        close(out->unnamed_fd);
        out->unnamed_fd = -1;
        if (linked)
            return true;
    } else if (!out->temp_path.empty()) {
        sync_temp(out);
    }
    if (out->temp_path.empty()) {
        // Written in place: only a device or pipe, which holds no file to keep.
        return true;
    }
    if (!rename_new(out->temp_path.c_str(), out->target.c_str())) {
        *error = errno;
        discard_output(out);
        return false;
    }
    forget_temp(out->temp_path);
    out->temp_path.clear();
    return true;
}

void discard_output(OutputFile* out)
{
    if (out->file) {
        std::fclose(out->file);
        out->file = nullptr;
    }
    if (out->unnamed_fd >= 0) {
        close(out->unnamed_fd);  // the unnamed file goes with its last descriptor
        out->unnamed_fd = -1;
    }
    if (!out->temp_path.empty()) {
        unlink(out->temp_path.c_str());
        forget_temp(out->temp_path);
        out->temp_path.clear();
    }
}
