// Helpers for the compiler tests: scratch folders, files, and runs of the
// real ksm_compiler binary with its transcript and exit status.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../test_files.h"
#include "driver.h"

namespace ksm_test {

// A fresh folder under the system's temporary folder, removed with the object.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ksm_compiler_test_XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            path = buf.data();
    }
    ~ScratchDir()
    {
        if (!path.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline bool path_exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

inline std::string build_dir()
{
    const char* dir = std::getenv("KSM_BUILD_DIR");
    return dir ? dir : "";
}

inline std::string compiler_binary() { return build_dir() + "/compiler/ksm_compiler"; }

inline std::string shell_quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

struct RunResult {
    int status;          // exit status, or -1 when the program did not exit normally
    std::string output;  // standard output: the transcript
    std::string errors;  // standard error: notes, hints and warnings
};

// Runs `program` with `args` in the folder `cwd`.
inline RunResult run_program(const std::string& cwd, const std::string& program,
                             const std::vector<std::string>& args)
{
    char err_path[] = "/tmp/ksm_test_stderr_XXXXXX";
    int err_fd = mkstemp(err_path);
    if (err_fd >= 0)
        close(err_fd);
    std::string cmd = "cd " + shell_quote(cwd) + " && " + shell_quote(program);
    for (const std::string& a : args)
        cmd += " " + shell_quote(a);
    cmd += " 2>" + shell_quote(err_path);
    RunResult r{-1, "", ""};
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    int st = pclose(p);
    if (st != -1 && WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    std::vector<uint8_t> err = read_bytes(err_path);
    r.errors.assign(err.begin(), err.end());
    unlink(err_path);
    return r;
}

inline RunResult run_compiler_in(const std::string& cwd, const std::vector<std::string>& args)
{
    return run_program(cwd, compiler_binary(), args);
}

// The two banner lines every run of the compiler starts with.
inline std::string banner()
{
    return std::string(COMPILER_TITLE) + "\n" + COMPILER_NOTICE + "\n";
}

}  // namespace ksm_test
