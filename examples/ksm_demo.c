/* Compiles the demo map, runs 1,000 frames of its settings and prints the
 * checksum, the one `ksm_viewer --headless --frames 1000 --seed 1` prints.
 *
 *   ksm_demo DEMO_DIR OUT.ksm      (DEMO_DIR: /usr/share/ksm/demo, say) */
#include <stdio.h>

#include <ksm/ksm.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: ksm_demo DEMO_DIR OUT.ksm\n");
        return 2;
    }
    char ksd[4096], src[4096], config[4096], message[256];
    snprintf(ksd, sizeof ksd, "%s/demo.ksd", argv[1]);
    snprintf(src, sizeof src, "%s/src", argv[1]);
    snprintf(config, sizeof config, "%s/config.ini", argv[1]);

    ksm_compile_options options;
    ksm_compile_options_init(&options);
    options.src_dir = src;
    if (ksm_compile(ksd, argv[2], &options, message, sizeof message) != KSM_OK) {
        fprintf(stderr, "ksm_demo: %s\n", message);
        return 1;
    }
    ksm_map* map = NULL;
    if (ksm_map_load(argv[2], &map, message, sizeof message) != KSM_OK) {
        fprintf(stderr, "ksm_demo: %s\n", message);
        return 1;
    }
    ksm_settings settings;
    ksm_settings_init(&settings);
    ksm_settings_read(config, &settings, message, sizeof message);
    settings.seed_given = 1;
    settings.seed = 1;
    ksm_sim* sim = NULL;
    if (ksm_sim_create(map, &settings, &sim, message, sizeof message) != KSM_OK ||
        ksm_sim_step(sim, 1000, message, sizeof message) != KSM_OK) {
        fprintf(stderr, "ksm_demo: %s\n", message);
        ksm_sim_free(sim);
        ksm_map_free(map);
        return 1;
    }
    const float* p = ksm_sim_positions(sim);
    printf("ksm %s: %d balls, the first at (%.3f, %.3f, %.3f)\n", ksm_version(), ksm_sim_count(sim), p[0], p[1],
           p[2]);
    printf("checksum: %016llx\n", (unsigned long long)ksm_sim_checksum(sim));
    ksm_sim_free(sim);
    ksm_map_free(map);
    return 0;
}
