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

    // -geometry stays GLUT's, and its size is the window's.
    const struct { const char* value; int w, h; } geometries[] = {
        {"400x700", 400, 700}, {"=640X480+10-20", 640, 480}, {"+10+10", 0, 0}, {"0x600", 0, 0},
        {"800x", 0, 0}, {"800x600junk", 0, 0}, {"123456x10", 0, 0}};
    for (const auto& g : geometries) {
        ViewerArgs a = parse({"-geometry", g.value, "x.ksm"});
        EXPECT_EQ(a.command, VIEWER_RUN) << g.value;
        EXPECT_EQ(a.map_path, "x.ksm") << g.value;
        EXPECT_EQ(a.geometry_width, g.w) << g.value;
        EXPECT_EQ(a.geometry_height, g.h) << g.value;
    }
}

TEST(ViewerArgs, HeadlessAndWatchOptions)
{
    ViewerArgs a = parse({"--headless", "--frames", "20", "--seed=7", "--dump", "o.ply", "m.ksm", "--no-watch"});
    ASSERT_EQ(a.command, VIEWER_RUN) << a.error;
    EXPECT_TRUE(a.headless);
    EXPECT_EQ(a.frames, 20);
    EXPECT_TRUE(a.seed_given);
    EXPECT_EQ(a.seed, 7u);
    EXPECT_EQ(a.dump_path, "o.ply");
    EXPECT_EQ(a.map_path, "m.ksm");
    EXPECT_FALSE(a.watch);
    EXPECT_EQ(parse({"--headless"}).frames, DEFAULT_HEADLESS_FRAMES);
    EXPECT_EQ(parse({"--seed", "4294967295"}).seed, 4294967295u);
    EXPECT_EQ(parse({"--headless"}).threads, -1);
    EXPECT_EQ(parse({"--headless", "--threads", "2"}).threads, 2);
    for (std::vector<const char*> bad : {std::vector<const char*>{"--frames", "5"}, {"--dump", "a.ply"},
                                         {"--threads", "2"}, {"--headless", "--threads", "-1"},
                                         {"--headless", "--threads", "257"},
                                         {"--headless", "--frames", "x"}, {"--seed", "-1"},
                                         {"--seed", "4294967296"}, {"--headless", "--dump"}})
        EXPECT_EQ(parse(bad).command, VIEWER_USAGE_ERROR) << bad[0] << " " << bad.size();
}

TEST(ViewerArgs, AbsolutePaths)
{
    EXPECT_EQ(join_absolute_path("/home/u", "map.ksm"), "/home/u/map.ksm");
    EXPECT_EQ(join_absolute_path("/home/u/", "./out/./x.ksm"), "/home/u/out/x.ksm");
    EXPECT_EQ(join_absolute_path("/home/u", "../v//maps/../x.ksm"), "/home/v/x.ksm");
    EXPECT_EQ(join_absolute_path("/", "../../x.ksm"), "/x.ksm");
    EXPECT_EQ(join_absolute_path("/home/u", "/tmp/x.ksm"), "/tmp/x.ksm");
    EXPECT_EQ(join_absolute_path("/", "x.ksm"), "/x.ksm");
    EXPECT_EQ(join_absolute_path("/home/u", "."), "/home/u");
}
