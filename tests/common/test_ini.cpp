// INI profile reader in both modes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ini.h"

namespace {

struct IniFile {
    std::string path;
    explicit IniFile(const std::string& text)
    {
        static int counter = 0;
        path = ::testing::TempDir() + "ini_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".ini";
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    ~IniFile() { std::remove(path.c_str()); }
    std::string get(const char* section, const char* key, IniMode mode, const char* def = "GG=(") const
    {
        char out[INI_BUFFER_SIZE];
        std::memset(out, 'X', sizeof out);
        read_profile_string(path.c_str(), section, key, def, out, mode);
        return out;
    }
};

}  // namespace

TEST(SplitAt, CutsAtFirstOccurrenceOrTakesAll)
{
    char text[32] = "key=a=b";
    char prefix[32];
    split_at(text, prefix, '=');
    EXPECT_STREQ(prefix, "key");
    EXPECT_STREQ(text, "a=b");
    split_at(text, prefix, ';');
    EXPECT_STREQ(prefix, "a=b");
    EXPECT_STREQ(text, "");
}

TEST(ParseKeyLine, KeyNameValueAndRejects)
{
    char key[INI_BUFFER_SIZE], value[INI_BUFFER_SIZE];
    ASSERT_TRUE(parse_key_line("scale = 2.5", key, value));
    EXPECT_STREQ(key, "scale");
    EXPECT_STREQ(value, "2.5");
    ASSERT_TRUE(parse_key_line("file=a=b  ", key, value));
    EXPECT_STREQ(key, "file");
    EXPECT_STREQ(value, "a=b  ");  // trailing spaces stay part of the value
    ASSERT_TRUE(parse_key_line(" file=x", key, value));
    EXPECT_STREQ(key, "");  // a leading space gives an empty name
    EXPECT_FALSE(parse_key_line("file =", key, value));
    EXPECT_FALSE(parse_key_line("no equals sign", key, value));
}

TEST(ReadProfileLineMode, SectionsKeysAndDefaults)
{
    IniFile f("[Main]\nfile=upper\n[main]\nfile = box.3ds\nfile=second\nempty=   \nbare=\n"
              " file=never\n[other]\nscale=3\n[main]\nlate=yes\n; file=x\n");
    EXPECT_EQ(f.get("main", "file", INI_LINE_MODE), "box.3ds");    // first match, [Main] differs
    EXPECT_EQ(f.get("main", "empty", INI_LINE_MODE), "");          // spaces only: empty value
    EXPECT_EQ(f.get("main", "bare", INI_LINE_MODE), "GG=(");       // nothing after '='
    EXPECT_EQ(f.get("main", "scale", INI_LINE_MODE), "GG=(");      // other section only
    EXPECT_EQ(f.get("main", "late", INI_LINE_MODE), "yes");        // repeated section searched
    EXPECT_EQ(f.get("other", "scale", INI_LINE_MODE), "3");
    EXPECT_EQ(f.get("nothere", "file", INI_LINE_MODE), "GG=(");
    EXPECT_EQ(f.get("main", "file", INI_LINE_MODE, "dflt"), "box.3ds");
}

TEST(ReadProfileLineMode, LineEndingsAndLastLine)
{
    IniFile crlf("[main]\r\nfile=a b\r\n[x]\r\n");
    EXPECT_EQ(crlf.get("main", "file", INI_LINE_MODE), "a b");
    IniFile last("[main]\nfile=tail value");
    EXPECT_EQ(last.get("main", "file", INI_LINE_MODE), "tail value");
    IniFile cr("[main]\rfile=mac\r");
    EXPECT_EQ(cr.get("main", "file", INI_LINE_MODE), "mac");
}

TEST(ReadProfileTokenMode, WordsAreEntries)
{
    IniFile f("[balls]\ncount = 5\n; g=0.5 t=2\ncl=7 [other] geom=3\n");
    EXPECT_EQ(f.get("balls", "count", INI_TOKEN_MODE, "def"), "def");  // three words, no key entry
    EXPECT_EQ(f.get("balls", "g", INI_TOKEN_MODE, "def"), "0.5");      // only ';' word is a comment
    EXPECT_EQ(f.get("balls", "t", INI_TOKEN_MODE, "def"), "2");
    EXPECT_EQ(f.get("balls", "cl", INI_TOKEN_MODE, "def"), "7");
    EXPECT_EQ(f.get("balls", "geom", INI_TOKEN_MODE, "def"), "def");   // after [other]
    EXPECT_EQ(f.get("other", "geom", INI_TOKEN_MODE, "def"), "3");
    // In line mode the comment line hides g and t.
    EXPECT_EQ(f.get("balls", "g", INI_LINE_MODE, "def"), "def");
}

TEST(ReadProfile, MissingOrEmptyFileGivesDefault)
{
    char out[INI_BUFFER_SIZE];
    read_profile_string("/nonexistent/dir/none.ini", "main", "file", "dflt", out, INI_LINE_MODE);
    EXPECT_STREQ(out, "dflt");
    IniFile empty("");
    EXPECT_EQ(empty.get("main", "file", INI_TOKEN_MODE, "d2"), "d2");
    EXPECT_EQ(empty.get("main", "file", INI_LINE_MODE, "d3"), "d3");
}

TEST(ReadProfile, SpecialFilesGiveTheDefaultWithoutWaitingOrReadingOn)
{
    std::string pipe = ::testing::TempDir() + "ini_pipe_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // A named pipe with no writer would block a plain open; /dev/zero would
    // be read without end.
    for (const char* path : {pipe.c_str(), "/dev/zero", "/tmp"}) {
        for (IniMode mode : {INI_TOKEN_MODE, INI_LINE_MODE}) {
            char out[INI_BUFFER_SIZE];
            read_profile_string(path, "balls", "count", "dflt", out, mode);
            EXPECT_STREQ(out, "dflt") << path;
        }
    }
    std::remove(pipe.c_str());
}

TEST(ReadProfile, OverlongEntriesAreSkippedWithoutOverflow)
{
    std::string long_value(300, 'v');
    std::string exact(255 - 5, 'w');  // "file=" + 250 characters: exactly 255
    IniFile f("[main]\nfile=" + long_value + "\nname=" + exact + "\n[" + std::string(400, 's') +
              "]\nafter=1\n" + std::string(10000, 'x') + "=y\nlast=ok\n");
    EXPECT_EQ(f.get("main", "file", INI_LINE_MODE), "GG=(");  // skipped whole, not cut
    EXPECT_EQ(f.get("main", "name", INI_LINE_MODE), exact);   // 255 characters still read
    // The over-long header is skipped too, so the section stays "main".
    EXPECT_EQ(f.get("main", "after", INI_LINE_MODE), "1");
    EXPECT_EQ(f.get("main", "last", INI_LINE_MODE), "ok");
    EXPECT_EQ(f.get("main", "file", INI_TOKEN_MODE), "GG=(");
    EXPECT_EQ(f.get("main", "last", INI_TOKEN_MODE), "ok");
    // A default longer than the buffer is cut, never overflowed.
    std::string long_default(1000, 'd');
    char out[INI_BUFFER_SIZE + 16];
    std::memset(out, 0x55, sizeof out);
    read_profile_string(f.path.c_str(), "main", "nothere", long_default.c_str(), out, INI_LINE_MODE);
    EXPECT_EQ(std::string(out), std::string(255, 'd'));
    EXPECT_EQ((unsigned char)out[INI_BUFFER_SIZE], 0x55);
}

// The index read once must give what the file scan gives, quirks included:
// checked over the fuzz corpus, the demo map and random texts made of the
// pieces that matter (brackets, '=', ';', both line ends, NUL, over-long runs).
TEST(IniIndex, GivesExactlyWhatTheLineModeScanGives)
{
    std::vector<std::string> texts;
    for (const char* dir : {"/tests/fuzz/corpus/fuzz_ini", "/tests/fuzz/corpus/fuzz_compile"}) {
        for (const auto& entry : std::filesystem::directory_iterator(std::string(KSM_SOURCE_DIR) + dir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    const std::string pieces[] = {"[", "]", "=", ";", " ", "\n", "\r", "a", "b", "main", std::string(1, '\0'),
                                  std::string(254, 'x'), "\n[a]\n", "\na=1\n", "\nb = 2 \n", "\n[main]\n"};
    std::mt19937 rng(30);
    for (int t = 0; t < 300; ++t) {
        std::string text;
        int n = (int)(rng() % 60);
        for (int i = 0; i < n; ++i)
            text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        texts.push_back(text);
    }
    const char* const names[] = {"", "a", "b", "ab", "main", "a b", " a", "x", "field_size", "obj_0", "file"};
    int compared = 0;
    for (const std::string& text : texts) {
        IniFile f(text);
        IniIndex index;
        ASSERT_TRUE(load_profile_index(f.path.c_str(), &index));
        for (const char* section : names) {
            for (const char* key : names) {
                char from_index[INI_BUFFER_SIZE];
                lookup_profile_string(&index, section, key, "GG=(", from_index);
                ASSERT_EQ(f.get(section, key, INI_LINE_MODE), from_index)
                    << "[" << section << "][" << key << "] in:\n" << text;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 30000);
    // A missing file gives every default, as the scan does.
    IniIndex none;
    EXPECT_FALSE(load_profile_index("/nonexistent/dir/none.ini", &none));
    char out[INI_BUFFER_SIZE];
    lookup_profile_string(&none, "main", "file", "dflt", out);
    EXPECT_STREQ(out, "dflt");
}
