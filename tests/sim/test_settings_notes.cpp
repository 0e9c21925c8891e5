// Notes on settings that the token-mode reader passes over.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include <string>
#include <vector>

#include "settings_notes.h"

namespace {

std::string notes_of(const std::string& text)
{
    std::string all;
    for (const std::string& n : check_ball_settings_text(text, "/d/config.ini"))
        all += n + "\n";
    return all;
}

}  // namespace

TEST(SettingsNotes, EachKindOfSlipGetsOneNoteNamingTheFile)
{
    struct Case {
        const char* text;
        const char* note;  // a part of the only note expected, or "" for none
    };
    const Case cases[] = {
        {"[balls]\ncount=2000 g=10 cl=5 geom=300 t=900 fps=60 ;comment", ""},
        {"[balls]\ncount = 2000\n", "\"count\" is followed by a lone '=' and is not read; write count=2000 as one word"},
        {"[balls]\ncount =2000\n", "write count=2000 as one word"},
        {"[balls]\ncount= 2000\n", "write count=2000 as one word"},
        {"[balls]\ncount =\n", "write count=VALUE as one word"},
        {"[balls]\ncolour=red\n", "unknown key \"colour\" in [balls]"},
        {"[other]\ncolour=red\n[balls]\ng=5", ""},
        {"[balls]\ncount=-5\n", "count \"-5\" is negative; no balls are placed"},
        {"[balls]\ncount=lots\n", "count \"lots\" is not a number"},
        {"[balls]\nfps=-1\n", "fps \"-1\" is negative; the frames are not capped"},
        {"[balls]\nthreads=-3\n", "threads \"-3\" is negative; the simulation runs in the sequential mode"},
        {"[balls]\nthreads=all\n", "threads \"all\" is not a number; the simulation runs in the sequential"},
        {"[balls]\ncount=100 count=x\n", ""},  // the reader takes the first
        {"[ball]\ncount=100\n", "no [balls] section; the defaults apply"},
        {"", "no [balls] section"},
    };
    for (const Case& c : cases) {
        std::string notes = notes_of(c.text);
        if (!*c.note) {
            EXPECT_EQ(notes, "") << c.text;
            continue;
        }
        EXPECT_NE(notes.find(c.note), std::string::npos) << c.text << " gave: " << notes;
        EXPECT_EQ(notes.find("/d/config.ini: "), 0u) << c.text;
        EXPECT_EQ(notes.find('\n'), notes.size() - 1) << "one note for: " << c.text;
    }
}

TEST(SettingsNotes, MissingFileIsNotedOnlyWhenAsked)
{
    EXPECT_TRUE(check_ball_settings_file("/nonexistent/config.ini", "x", false).empty());
    std::vector<std::string> n = check_ball_settings_file("/nonexistent/config.ini", "x", true);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_NE(n[0].find("cannot be opened"), std::string::npos);
}

TEST(SettingsNotes, SpecialFilesAreNamedNotRead)
{
    std::string pipe = ::testing::TempDir() + "notes_pipe_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const std::pair<std::string, const char*> cases[] = {
        {pipe, "x: is a named pipe; the defaults apply"},  // would block
        {"/dev/zero", "x: is a device; the defaults apply"},  // would read until memory runs out
        {"/tmp", "x: is a directory; the defaults apply"},
    };
    for (const auto& c : cases)
        for (bool given : {false, true})
            EXPECT_EQ(check_ball_settings_file(c.first.c_str(), "x", given), std::vector<std::string>{c.second});
    std::remove(pipe.c_str());
}
