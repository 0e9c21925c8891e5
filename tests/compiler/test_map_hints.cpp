// Mistakes in a description that compiles: warnings and hints on standard
// error, with the transcript and the bytes left as they were.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compiler_test_util.h"
#include "map_hints.h"
#include "mesh_3ds_writer.h"

using namespace ksm_test;

namespace {

// A field of 16 with one box, a start box and a teleport; `edits` replaces
// whole lines ("key = value" of the base, matched by their text).
std::string description(const std::vector<std::pair<std::string, std::string>>& edits)
{
    std::string text =
        "[main]\nfield_size = 16\ngrid_size = 16\nobjs_num = 1\nteleports = 1\n"
        "[obj_0]\nfile = box.3ds\nscale = 4\npos_x = 2\npos_y = 2\npos_z = 2\nrt_angle = 0\nrt_x = 0\n"
        "rt_y = 1\nrt_z = 0\ngeom1 = 1\ngeom2 = 0\n"
        "[start]\ngg = 1\nfrom_x = 1\nfrom_y = 10\nfrom_z = 1\nto_x = 14\nto_y = 15\nto_z = 14\n"
        "[teleport_0]\nfrom_from_x = 1\nfrom_from_y = 1\nfrom_from_z = 1\nfrom_to_x = 3\nfrom_to_y = 2\n"
        "from_to_z = 3\nto_from_x = 12\nto_from_y = 12\nto_from_z = 12\nto_to_x = 14\nto_to_y = 14\n"
        "to_to_z = 14\n";
    for (const auto& e : edits) {
        size_t at = text.find(e.first + "\n");
        EXPECT_NE(at, std::string::npos) << e.first;
        if (at != std::string::npos)
            text.replace(at, e.first.size(), e.second);
    }
    return text;
}

}  // namespace

TEST(MapHints, ValuesThatAreNotWhollyNumbersAndBoxesOutsideTheFieldAreWarned)
{
    ScratchDir dir;
    Scene3ds box{};
    box.objects.push_back(make_box_object("box", Vec3{1, 1, 1}, false));
    std::filesystem::create_directories(dir / "src");
    ASSERT_TRUE(write_3ds_file((dir / "src/box.3ds").c_str(), &box));
    struct Case {
        std::vector<std::pair<std::string, std::string>> mistake, same;  // `same` compiles to the same bytes
        std::string warning;
    };
    const Case cases[] = {
        {{{"scale = 4", "scale = abc"}}, {{"scale = 4", "scale = 0"}}, "[obj_0][scale] = \"abc\" is not a number: it reads as 0"},
        {{{"pos_x = 2", "pos_x = "}}, {{"pos_x = 2", "pos_x = 0"}}, "[obj_0][pos_x] has nothing but blanks after its '=': it reads as 0"},
        {{{"pos_y = 2", "pos_y = 2x"}}, {}, "[obj_0][pos_y] = \"2x\" reads as 2: the rest, \"x\", is ignored"},
        {{{"grid_size = 16", "grid_size = 16.5"}}, {}, "[main][grid_size] = \"16.5\" reads as 16: the rest, \".5\", is ignored"},
        {{{"from_x = 1", "from_x = one"}}, {{"from_x = 1", "from_x = 0"}}, "[start][from_x] = \"one\" is not a whole number"},
        {{{"pos_y = 2", "pos_y = 14"}}, {{"pos_y = 2", "pos_y = 14"}},
         "[obj_0] \"src/box.3ds\" is placed partly outside the field (0..16 on each axis): y by 2 above 16"},
        {{{"pos_x = 2", "pos_x = -1.5"}, {"pos_z = 2", "pos_z = 13"}}, {{"pos_x = 2", "pos_x = -1.5"}, {"pos_z = 2", "pos_z = 13"}},
         "[obj_0] \"src/box.3ds\" is placed partly outside the field (0..16 on each axis): x by 1.5 below 0, z by 1 "
         "above 16"},
        {{{"to_y = 15", "to_y = 20"}}, {{"to_y = 15", "to_y = 20"}},
         "[start] the start box (x 1..14, y 10..20, z 1..14) lies partly outside the field (units 0..15 on each "
         "axis): y by 5 above 16"},
        {{{"to_from_y = 12", "to_from_y = 300"}}, {{"to_from_y = 12", "to_from_y = 44"}},
         "[teleport_0] the to box: 300 does not fit in 0..255 and is stored as 44"},
        {{{"to_from_x = 12", "to_from_x = 16"}, {"to_to_x = 14", "to_to_x = 17"}},
         {{"to_from_x = 12", "to_from_x = 16"}, {"to_to_x = 14", "to_to_x = 17"}},
         "[teleport_0] the to box (x 16..17, y 12..14, z 12..14) lies wholly outside the field"},
    };
    write_text(dir / "m.ksd", description({}));
    RunResult clean = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
    ASSERT_EQ(clean.status, 0) << clean.output;
    EXPECT_EQ(clean.errors, "");
    for (const Case& c : cases) {
        const std::string label = c.mistake[0].second;
        write_text(dir / "m.ksd", description(c.mistake));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
        std::vector<uint8_t> bytes = read_bytes(dir / "m.ksm");
        ASSERT_EQ(r.status, 0) << label << r.output;
        EXPECT_NE(r.errors.find("ksm_compiler: warning: " + c.warning), std::string::npos) << label << "\n" << r.errors;
        if (c.same.empty())
            continue;
        write_text(dir / "m.ksd", description(c.same));
        RunResult same = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
        EXPECT_EQ(same.output, r.output) << label;
        EXPECT_EQ(read_bytes(dir / "m.ksm"), bytes) << label;
    }
}

TEST(MapHints, MissingKeyNamesTheNearMissesOfItsSection)
{
    const std::string text =
        "[main]\nobjs_num = 3\n"
        "[obj_0]\nfile = a.3ds\nsize = 4\n  scale = 4\nPos_x = 1\nscale\n; scale = 2\n"
        "[obj_1]\nfile = b.3ds\nscale =\n"
        " [obj_2]\n[Obj_2]\nscale = 3\n";
    struct Case {
        const char* section;
        const char* key;
        std::vector<std::string> misses;
    };
    const Case cases[] = {
        {"obj_0", "scale",
         {"line 5: \"size\" is no key of [obj_0]",
          "line 6: \"scale = 4\" is indented, and a line that starts with a blank is never read",
          "line 7: \"Pos_x\" is no key of [obj_0]", "line 8: \"scale\" has no '='"}},
        {"obj_0", "pos_x", {"line 5: \"size\" is no key of [obj_0]", "line 7: the key \"Pos_x\" is not pos_x (keys are case-sensitive)"}},
        {"obj_1", "scale", {"line 12: \"scale =\" has nothing after its '='"}},
        {"obj_2", "file",
         {"the description has no section [obj_2]",
          "line 13: the section header \" [obj_2]\" is not [obj_2] (names are case-sensitive, and a header must "
          "start the line without blanks inside its brackets)",
          "line 14: the section header \"[Obj_2]\" is not [obj_2] (names are case-sensitive, and a header must "
          "start the line without blanks inside its brackets)"}},
        {"main", "field_size", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(key_near_misses(text, c.section, c.key), c.misses) << c.section << " " << c.key;

    // In a run, after the transcript's error line.
    ScratchDir dir;
    write_text(dir / "m.ksd", "[main]\nfield_size = 8\ngrid_size = 8\nobjs_num = 1\n" + text.substr(text.find("[obj_0]")));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("ERROR IN MAP: [obj_0][scale]\n"), std::string::npos) << r.output;
    EXPECT_NE(r.errors.find("hint: the key scale is missing from [obj_0]"), std::string::npos) << r.errors;
    EXPECT_NE(r.errors.find("hint: line 8: \"scale = 4\" is indented"), std::string::npos) << r.errors;
}
