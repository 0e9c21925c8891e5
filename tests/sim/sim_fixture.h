// A small simulation set up from a settings text and an empty collision
// field, with helpers to put balls where a test wants them.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "balls.h"
#include "map_format.h"

// Writes `text` to a fresh file under the test temp directory.
inline std::string write_settings(const std::string& text)
{
    static int counter = 0;
    std::string path = ::testing::TempDir() + "sim_config_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
}

struct SimFixture : ::testing::Test {
    SimState sim;
    MapHeader map = {};
    std::string settings_path;

    // Map of the given sizes with an all-free collision field; settings
    // from `settings` (token mode, section "balls"); generator seeded.
    void start(int field_size, int grid_size, const std::string& settings, unsigned seed = 12345)
    {
        map.field_size = (uint16_t)field_size;
        map.grid_size = (uint16_t)grid_size;
        ASSERT_TRUE(alloc_normal_field(&map.field, (uint16_t)grid_size));
        settings_path = write_settings("[balls]\n" + settings + "\n");
        seed_ball_random(&sim, seed);
        const char* reason = nullptr;
        ASSERT_TRUE(init_balls_from(&sim, &map, settings_path.c_str(), &reason)) << reason;
    }

    void TearDown() override
    {
        free_balls(&sim);
        free_normal_field(&map.field);
        if (!settings_path.empty())
            std::remove(settings_path.c_str());
    }

    // Takes every ball out of the lists (ball order), so that place() can
    // enter them again in an order of the test's choosing.
    void unregister_all()
    {
        for (int i = 0; i < sim.ball_count; ++i)
            block_remove(&sim, sim.ball_cell[i].x, sim.ball_cell[i].y, sim.ball_cell[i].z, i);
    }

    // Puts an unregistered ball at rest at p and registers it.
    void place(int i, Vec3 p)
    {
        sim.ball_pos[i] = p;
        sim.ball_prev[i] = p;
        sim.ball_cell[i] = CellCoord{(int)p.x, (int)p.y, (int)p.z};
        ASSERT_TRUE(block_insert(&sim, sim.ball_cell[i].x, sim.ball_cell[i].y, sim.ball_cell[i].z, i));
    }

    int16_t* field_cell_at(int x, int y, int z)
    {
        return map.field.cells + 3 * (((size_t)x * map.grid_size + y) * map.grid_size + z);
    }
};
