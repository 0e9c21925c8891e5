// The start-up notes for a newcomer: unused layers, a crowded start box and
// a map description given in place of a compiled map.
#include <gtest/gtest.h>

#include <string>

#include "../test_files.h"
#include "start_hints.h"

TEST(StartHints, LayersAndStartBoxNotes)
{
    MapLayers none{}, start{}, both{};
    start.has_start = true;
    start.start = LayerBox{{2, 10, 2}, {5, 13, 5}};  // units 2..5: 4 x 4 x 4
    both = start;
    both.teleport_count = 1;
    struct Case {
        const MapLayers* layers;
        bool enabled;
        std::string note;
    };
    const Case cases[] = {
        {&none, false, ""},
        {&start, true, ""},
        {&start, false, "the map has a start box, which the simulation uses with layers=1 in the [balls] section of "
                        "/x/config.ini; key l shows them"},
        {&both, false, "the map has a start box and 1 teleport, which"},
    };
    for (const Case& c : cases) {
        std::string note = unused_layers_note(c.layers, c.enabled, "/x/config.ini");
        EXPECT_EQ(note.substr(0, c.note.size()), c.note);
        EXPECT_EQ(note.empty(), c.note.empty());
    }

    EXPECT_EQ(start_box_capacity(&start.start, 20.0f), 64);
    EXPECT_EQ(start_box_capacity(&start.start, 12.0f), 32);  // cut to the field: y 10..12
    EXPECT_EQ(start_box_capacity(&start.start, 1.0f), -1);   // wholly outside
    EXPECT_EQ(crowded_start_note(&start, true, 20.0f, 64), "");
    EXPECT_EQ(crowded_start_note(&start, false, 20.0f, 1000), "");
    EXPECT_EQ(crowded_start_note(&none, true, 20.0f, 1000), "");
    EXPECT_EQ(crowded_start_note(&start, true, 20.0f, 65),
              "the start box holds roughly 64 balls at rest (one per unit cube), fewer than the 65 asked for: "
              "they start packed closer and burst out of it");
}

TEST(StartHints, DescriptionGivenInPlaceOfAMap)
{
    const std::string dir = std::string(::testing::TempDir()) + "/ksm_start_hints";
    ksm_test::write_text(dir + "/pour.txt", "\n  ; a map\n[main]\n");
    ksm_test::write_bytes(dir + "/map.bin", {'K', 'S', 'M', 'P', '[', 0});
    EXPECT_TRUE(looks_like_description("no/such/level.KSD"));
    EXPECT_TRUE(looks_like_description(dir + "/pour.txt"));
    EXPECT_FALSE(looks_like_description(dir + "/map.bin"));
    EXPECT_FALSE(looks_like_description(dir + "/absent.ksm"));
    EXPECT_EQ(compile_first_hint("maps.v1/pour.ksd"),
              "\"maps.v1/pour.ksd\" is a map description, which the viewer cannot open: compile it first, as in "
              "ksm_compiler maps.v1/pour.ksd maps.v1/pour.ksm, then open maps.v1/pour.ksm");
}
