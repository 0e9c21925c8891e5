// Files a user names: special files are named for what they are and never
// block or read without end; an output is refused where it would replace an
// input or could not be created.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "file_bytes.h"
#include "output_file.h"
#include "../test_files.h"
#include "user_files.h"

namespace fs = std::filesystem;

static std::string scratch_dir()
{
    std::string dir = (fs::temp_directory_path() / ("ksm_user_files_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(UserFiles, SpecialFilesAreNamedAndNeverRead)
{
    std::string dir = scratch_dir();
    ksm_test::write_text(dir + "/plain", "abc");
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir + "/zero_link");
    fs::create_symlink(dir + "/plain", dir + "/plain_link");
    struct Case {
        std::string path;
        FileKind kind;
        const char* text;
    } cases[] = {
        {dir + "/plain", FILE_REGULAR, nullptr},
        {dir + "/plain_link", FILE_REGULAR, nullptr},
        {dir, FILE_DIRECTORY, "is a directory"},
        {dir + "/pipe", FILE_FIFO, "is a named pipe"},  // would block a plain open
        {dir + "/zero_link", FILE_DEVICE, "is a device"},  // would read without end
        {dir + "/none", FILE_MISSING, "No such file or directory"},
    };
    for (const Case& c : cases) {
        size_t size = 99;
        bool opened = true;
        FileKind kind = FILE_OTHER;
        uint8_t* data = read_file_bytes(c.path.c_str(), &size, &opened, &kind);
        EXPECT_EQ(kind, c.kind) << c.path;
        if (c.kind == FILE_REGULAR) {
            ASSERT_NE(data, nullptr) << c.path;
            EXPECT_EQ(std::string((const char*)data, size), "abc");
        } else {
            EXPECT_EQ(data, nullptr) << c.path;
            EXPECT_FALSE(opened) << c.path;
            EXPECT_EQ(size, 0u);
            FileKind stream_kind;
            int error;
            EXPECT_EQ(open_regular_stream(c.path.c_str(), &stream_kind, &error), nullptr);
            EXPECT_EQ(file_kind_text(stream_kind, error), c.text) << c.path;
        }
        std::free(data);
    }
    fs::remove_all(dir);
}

TEST(UserFiles, OutputPathsThatWouldLoseDataAreRefused)
{
    std::string dir = scratch_dir();
    std::string input = dir + "/mesh.obj";
    ksm_test::write_text(input, "v 0 0 0\n");
    fs::create_symlink(input, dir + "/alias.obj");
    fs::create_symlink(dir + "/sub/missing.ksm", dir + "/dangling.ksm");
    fs::create_directories(dir + "/sub2");
    const char* inputs[] = {"unused.ksd", input.c_str()};
    struct Case {
        std::string out;
        int hit;          // the input it would replace, or -1
        const char* why;  // a part of the reason, or null for an accepted path
    } cases[] = {
        {dir + "/new.ksm", -1, nullptr},
        {input, 1, "is the input"},
        {dir + "/alias.obj", 1, "is the input"},
        {dir + "/./mesh.obj", 1, "is the input"},
        {dir, -1, "is a directory"},
        {dir + "/missing/x.ksm", -1, "does not exist"},
        {dir + "/dangling.ksm", -1, "does not exist"},  // its target's folder is missing
        {dir + "/mesh.obj/x.ksm", -1, "is not a directory"},
        {"/dev/null", -1, nullptr},  // written in place, though /dev takes no new file
    };
    for (const Case& c : cases) {
        std::string reason;
        int hit = 7;
        bool ok = check_output_path(c.out.c_str(), inputs, 2, &reason, &hit);
        EXPECT_EQ(ok, c.why == nullptr) << c.out << ": " << reason;
        EXPECT_EQ(hit, c.hit) << c.out;
        if (c.why) {
            EXPECT_NE(reason.find(c.why), std::string::npos) << c.out << ": " << reason;
        }
    }
    fs::remove_all(dir);
}

TEST(UserFiles, NewOutputNeverReplacesAFileMadeMeanwhile)
{
    std::string dir = scratch_dir();
    std::string path = dir + "/shot.png";
    OutputFile out;
    ASSERT_TRUE(begin_output(path.c_str(), &out));
    std::fputs("new", out.file);
    std::fclose(out.file);
    out.file = nullptr;
    ksm_test::write_text(path, "theirs");  // another program takes the name first
    int error = 0;
    EXPECT_FALSE(commit_output_new(&out, &error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(ksm_test::read_bytes(path).size(), 6u);  // "theirs"
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "temporary file left";

    ASSERT_TRUE(begin_output((dir + "/free.png").c_str(), &out));
    std::fputs("new", out.file);
    std::fclose(out.file);
    out.file = nullptr;
    EXPECT_TRUE(commit_output_new(&out, &error));
    EXPECT_EQ(ksm_test::read_bytes(dir + "/free.png").size(), 3u);
    fs::remove_all(dir);
}
