// The viewer's command line: words, options, errors, and absolute paths.
#include <gtest/gtest.h>

#include <vector>

#include "viewer_args.h"

namespace {

ViewerArgs parse(std::vector<const char*> words)
{
    words.insert(words.begin(), "ksm_viewer");
    return parse_viewer_args((int)words.size(), words.data());
}

}  // namespace

TEST(ViewerArgs, WordsAndOptions)
{
    struct Case {
        std::vector<const char*> words;
        ViewerCommand command;
        bool info;
        const char* map;
        const char* config;
    };
    const Case cases[] = {
        {{}, VIEWER_RUN, false, "map.ksm", "config.ini"},
        {{"info"}, VIEWER_RUN, true, "map.ksm", "config.ini"},
        {{"Info"}, VIEWER_RUN, false, "Info", "config.ini"},
        {{"info", "a/b.ksm"}, VIEWER_RUN, true, "a/b.ksm", "config.ini"},
        {{"x.ksm", "--config", "s.ini"}, VIEWER_RUN, false, "x.ksm", "s.ini"},
        {{"--config=s.ini", "x.ksm"}, VIEWER_RUN, false, "x.ksm", "s.ini"},
        {{"-display", ":5", "x.ksm", "-iconic"}, VIEWER_RUN, false, "x.ksm", "config.ini"},
        {{"--", "-odd.ksm"}, VIEWER_RUN, false, "-odd.ksm", "config.ini"},
        {{"x.ksm", "info"}, VIEWER_USAGE_ERROR, false, "x.ksm", "config.ini"},
        {{"a.ksm", "b.ksm"}, VIEWER_USAGE_ERROR, false, "a.ksm", "config.ini"},
        {{"--frobnicate"}, VIEWER_USAGE_ERROR, false, "map.ksm", "config.ini"},
        {{"--config"}, VIEWER_USAGE_ERROR, false, "map.ksm", "config.ini"},
        {{"--config="}, VIEWER_USAGE_ERROR, false, "map.ksm", ""},
        {{"--configs=x"}, VIEWER_USAGE_ERROR, false, "map.ksm", "config.ini"},
        {{"x.ksm", "--help", "--frobnicate"}, VIEWER_HELP, false, "x.ksm", "config.ini"},
        {{"--version"}, VIEWER_VERSION, false, "map.ksm", "config.ini"},
    };
    for (const Case& c : cases) {
        ViewerArgs a = parse(c.words);
        std::string label = c.words.empty() ? "(none)" : c.words[0];
        EXPECT_EQ(a.command, c.command) << label;
        EXPECT_EQ(a.info, c.info) << label;
        EXPECT_EQ(a.map_path, c.map) << label;
        EXPECT_EQ(a.config_path, c.config) << label;
        EXPECT_EQ(a.error.empty(), c.command != VIEWER_USAGE_ERROR) << label;
    }
    EXPECT_NE(parse({"--frobnicate"}).error.find("--frobnicate"), std::string::npos);
}

TEST(ViewerArgs, AbsolutePaths)
{
    EXPECT_EQ(join_absolute_path("/home/u", "map.ksm"), "/home/u/map.ksm");
    EXPECT_EQ(join_absolute_path("/home/u/", "./out/./x.ksm"), "/home/u/out/./x.ksm");
    EXPECT_EQ(join_absolute_path("/home/u", "/tmp/x.ksm"), "/tmp/x.ksm");
    EXPECT_EQ(join_absolute_path("/", "x.ksm"), "/x.ksm");
    EXPECT_EQ(join_absolute_path("/home/u", "."), "/home/u");
}
