#include "movie_pipe.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_bytes.h"

extern char** environ;

std::string find_program(const char* program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (const std::string& dir : split_text_at(dirs, ':')) {
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

std::vector<std::string> movie_command(const std::string& ffmpeg, int width, int height, double fps,
                                       const std::string& path)
{
    char size[32], rate[32];
    std::snprintf(size, sizeof size, "%dx%d", width, height);
    std::snprintf(rate, sizeof rate, "%g", fps);
    return {ffmpeg, "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
            "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", size, "-r", rate, "-i", "pipe:0",
            "-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-pix_fmt", "yuv420p",
            "-movflags", "+faststart", "-f", "mp4", path};
}

bool start_movie(MoviePipe* m, const char* path, int width, int height, double fps, std::string* reason)
{
    m->pid = 0;
    m->fd = -1;
    m->width = width;
    m->height = height;
    m->frames = 0;
    m->sigpipe_ignored = false;
    std::string ffmpeg = find_program("ffmpeg");
    if (ffmpeg.empty()) {
        *reason = "the ffmpeg program is not installed (Debian package ffmpeg)";
        return false;
    }
    if (!begin_named_output(path, &m->output)) {
        *reason = m->output.error ? std::strerror(m->output.error) : "it is a directory";
        return false;
    }
    // ffmpeg opens the file by its name; ours stays closed.
    std::fclose(m->output.file);
    m->output.file = nullptr;
    std::string target = m->output.temp_path.empty() ? m->output.target : m->output.temp_path;
    std::vector<std::string> words = movie_command(ffmpeg, width, height, fps, target);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        *reason = std::strerror(errno);
        discard_output(&m->output);
        return false;
    }
    fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
    // ffmpeg reads the frames on its standard input; anything it says goes
    // to standard error, so that standard output stays the run's own.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    int err = posix_spawn(&m->pid, ffmpeg.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[0]);
    if (err != 0) {
        m->pid = 0;
        close(pipe_fds[1]);
        *reason = std::string("ffmpeg could not be started: ") + std::strerror(err);
        discard_output(&m->output);
        return false;
    }
    m->fd = pipe_fds[1];
    // Should ffmpeg stop early, a write fails instead of ending the run.
    struct sigaction old;
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
        m->sigpipe_ignored = true;
    }
    return true;
}

static bool write_all(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= (size_t)n;
    }
    return true;
}

bool send_movie_frame(MoviePipe* m, const uint8_t* rgb)
{
    if (m->fd < 0)
        return false;
    size_t row = (size_t)m->width * 3;
    m->rows.resize(row * (size_t)m->height);
    for (int y = 0; y < m->height; ++y)
        std::memcpy(&m->rows[(size_t)y * row], rgb + (size_t)(m->height - 1 - y) * row, row);
    if (!write_all(m->fd, m->rows.data(), m->rows.size())) {
        close(m->fd);
        m->fd = -1;
        return false;
    }
    m->frames += 1;
    return true;
}

bool finish_movie(MoviePipe* m, bool keep, std::string* reason)
{
    if (m->fd >= 0)
        close(m->fd);
    m->fd = -1;
    int status = 0;
    bool exited_ok = false;
    if (m->pid > 0) {
        while (waitpid(m->pid, &status, 0) < 0 && errno == EINTR) {
        }
        exited_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        m->pid = 0;
    }
    if (m->sigpipe_ignored) {
        std::signal(SIGPIPE, SIG_DFL);
        m->sigpipe_ignored = false;
    }
    if (!keep) {
        discard_output(&m->output);
        return true;
    }
    if (!exited_ok) {
        *reason = "ffmpeg failed to encode it";
        discard_output(&m->output);
        return false;
    }
    int error = 0;
    if (!commit_output(&m->output, &error)) {
        *reason = std::strerror(error);
        return false;
    }
    return true;
}
