/* The C API against the programs: the compile gives the compiler's bytes,
 * the simulation the headless viewer's checksum, and every failure a status
 * with a message.
 *
 *   test_ksm_capi DEMO_KSD DEMO_SRC DEMO_KSM CONFIG FRAMES SEED CHECKSUM SCRATCH */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ksm/ksm.h"

static int failures = 0;
#define CHECK(cond, ...)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            fprintf(stderr, "FAIL line %d: %s: ", __LINE__, #cond);               \
            fprintf(stderr, __VA_ARGS__);                                         \
            fprintf(stderr, "\n");                                                \
            failures++;                                                           \
        }                                                                         \
    } while (0)

static int same_bytes(const char* a, const char* b)
{
    FILE* fa = fopen(a, "rb");
    FILE* fb = fopen(b, "rb");
    int same = fa && fb;
    while (same) {
        int ca = fgetc(fa), cb = fgetc(fb);
        same = ca == cb;
        if (ca == EOF || cb == EOF)
            break;
    }
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return same;
}

static size_t transcript_bytes = 0;
static void count_transcript(const char* text, size_t size, void* user)
{
    (void)text;
    *(size_t*)user += size;
}

int main(int argc, char** argv)
{
    if (argc != 9) {
        fprintf(stderr, "usage: test_ksm_capi KSD SRC KSM CONFIG FRAMES SEED CHECKSUM SCRATCH\n");
        return 2;
    }
    const char *ksd = argv[1], *src = argv[2], *shipped = argv[3], *config = argv[4], *scratch = argv[8];
    long frames = atol(argv[5]);
    unsigned seed = (unsigned)strtoul(argv[6], NULL, 10);
    unsigned long long expected = strtoull(argv[7], NULL, 16);
    char message[256], out[1024], transcript[4096];

    /* The compile: the compiler's bytes and transcript, by buffer and callback. */
    snprintf(out, sizeof out, "%s/demo.ksm", scratch);
    ksm_compile_options options;
    ksm_compile_options_init(&options);
    options.src_dir = src;
    options.threads = 2;
    options.transcript = count_transcript;
    options.transcript_user = &transcript_bytes;
    options.transcript_buffer = transcript;
    options.transcript_buffer_size = sizeof transcript;
    ksm_status st = ksm_compile(ksd, out, &options, message, sizeof message);
    CHECK(st == KSM_OK, "%s", message);
    CHECK(same_bytes(out, shipped), "the library's map differs from the compiler's");
    CHECK(strstr(transcript, "DONE!!!=)))\n") != NULL, "transcript: %s", transcript);
    CHECK(transcript_bytes == strlen(transcript), "callback saw %zu bytes, buffer %zu", transcript_bytes,
          strlen(transcript));

    /* Failures: a status and the compiler's or loader's message. */
    snprintf(out, sizeof out, "%s/none.ksm", scratch);
    st = ksm_compile("/nonexistent/none.ksd", out, NULL, message, sizeof message);
    CHECK(st == KSM_ERROR_COMPILE && strstr(message, "ERROR") != NULL, "%d %s", (int)st, message);
    ksm_map* map = NULL;
    st = ksm_map_load(ksd, &map, message, sizeof message);
    CHECK(st == KSM_ERROR_MAP && map == NULL && strstr(message, "not a compiled map") == NULL &&
              strstr(message, "cannot use the compiled map") != NULL,
          "%d %s", (int)st, message);

    /* The map, then the simulation the headless viewer runs. */
    st = ksm_map_load(shipped, &map, message, sizeof message);
    CHECK(st == KSM_OK, "%s", message);
    if (st != KSM_OK)
        return 1;
    ksm_map_info info;
    ksm_object object;
    CHECK(ksm_map_info_get(map, &info) == KSM_OK && info.object_count > 0 && info.field_size > 0, "info");
    CHECK(ksm_map_object(map, 0, &object) == KSM_OK && object.vertex_count > 0 &&
              object.faces[0] < object.vertex_count, "object 0");
    CHECK(ksm_map_object(map, info.object_count, &object) == KSM_ERROR_ARGUMENT, "object past the end");

    ksm_settings settings;
    ksm_settings_init(&settings);
    CHECK(ksm_settings_read(config, &settings, message, sizeof message) == KSM_OK, "%s", message);
    settings.seed_given = 1;
    settings.seed = seed;
    ksm_sim* sim = NULL;
    st = ksm_sim_create(map, &settings, &sim, message, sizeof message);
    CHECK(st == KSM_OK, "%s", message);
    if (st != KSM_OK)
        return 1;
    /* A second simulation in the same process, stepped in turn with the
       first, ends where the viewer does too. */
    ksm_sim* second = NULL;
    CHECK(ksm_sim_create(map, &settings, &second, message, sizeof message) == KSM_OK, "%s", message);

    const float* positions = ksm_sim_positions(sim);
    for (long done = 0; done < frames; done += 50) {
        long n = frames - done < 50 ? frames - done : 50;
        CHECK(ksm_sim_step(sim, n, message, sizeof message) == KSM_OK, "%s", message);
        CHECK(ksm_sim_step(second, n, message, sizeof message) == KSM_OK, "%s", message);
    }
    CHECK(ksm_sim_positions(sim) == positions, "the positions moved");
    unsigned long long sum = ksm_sim_checksum(sim);
    printf("checksum after %ld frames: %016llx\n", frames, sum);
    CHECK(sum == expected, "library %016llx, viewer %016llx", sum, expected);
    CHECK(ksm_sim_checksum(second) == sum, "the second simulation %016llx",
          (unsigned long long)ksm_sim_checksum(second));
    ksm_sim_free(second);
    CHECK(ksm_sim_step(sim, -1, message, sizeof message) == KSM_ERROR_ARGUMENT && message[0], "negative frames");

    /* Gravity as the mouse changes it, and a map swapped in under the balls. */
    float g = ksm_sim_gravity(sim);
    CHECK(ksm_sim_set_gravity(sim, KSM_GRAVITY_LIFT) == KSM_OK && ksm_sim_gravity(sim) == 0.0f, "lift");
    CHECK(ksm_sim_set_gravity(sim, KSM_GRAVITY_REVERSE) == KSM_OK && ksm_sim_gravity(sim) == -g, "reverse");
    CHECK(ksm_sim_swap_map(sim, map, message, sizeof message) == KSM_OK, "%s", message);
    CHECK(ksm_sim_checksum(sim) == sum, "swapping in the same map changed the balls");
    ksm_sim_free(sim);

    settings.count = -1;
    CHECK(ksm_sim_create(map, &settings, &sim, message, sizeof message) == KSM_ERROR_ARGUMENT && message[0],
          "a negative count");
    settings.count = 10;
    CHECK(ksm_sim_create(map, &settings, &sim, message, sizeof message) == KSM_OK, "%s", message);
    CHECK(ksm_sim_count(sim) == 10, "count %d", ksm_sim_count(sim));
    ksm_sim_free(sim);
    ksm_map_free(map);
    printf("%s\n", failures ? "FAILED" : "PASS");
    return failures ? 1 : 0;
}
