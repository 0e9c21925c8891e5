// Writes simple 3D Studio meshes for map descriptions, tests and demos.
//
//   ksm_make_3ds box <out.3ds> [size_x size_y size_z] [options]
//   ksm_make_3ds sphere <subdivisions> <out.3ds> [options]
//   ksm_make_3ds --version
//
// Options: --uv (mapping coordinates), --material (a material and its face
// group), --plain (no version chunks), --flip (faces wound clockwise seen
// from outside), --name NAME (object name, default "box" or "sphere").
// A box is centred on the origin (default sides 2 2 2); a sphere has radius 1.
// An output path ending in .obj or .stl gets the same triangles as Wavefront
// OBJ or binary STL (the 3DS-only options are then ignored).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <strings.h>

#include "ksm_version.h"
#include "mesh_3ds_writer.h"
#include "mesh_obj_stl_writer.h"

static void print_usage()
{
    std::printf("ksm_make_3ds box <out.3ds> [size_x size_y size_z] [options]\n");
    std::printf("ksm_make_3ds sphere <subdivisions 0..5> <out.3ds> [options]\n");
    std::printf("Options: --uv --material --plain --flip --name NAME\n");
    std::printf("An output ending in .obj or .stl is written as OBJ or STL.\n");
}

// A positive finite number, or false.
static bool parse_size(const char* text, float* out)
{
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0.0) || v > 1e30)
        return false;
    *out = (float)v;
    return true;
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ksm_make_3ds (ksm %s)\n", KSM_VERSION);
        return 0;
    }
    if (argc < 3) {
        print_usage();
        return 2;
    }
    bool is_box = std::strcmp(argv[1], "box") == 0;
    bool is_sphere = std::strcmp(argv[1], "sphere") == 0;
    if (!is_box && !is_sphere) {
        print_usage();
        return 2;
    }
    int arg = 2;
    int subdivisions = 0;
    if (is_sphere) {
        char* end = nullptr;
        long n = std::strtol(argv[arg], &end, 10);
        if (end == argv[arg] || *end != '\0' || n < 0 || n > 5) {
            std::printf("ERROR! subdivisions must be 0..5\n");
            return 2;
        }
        subdivisions = (int)n;
        ++arg;
    }
    if (arg >= argc) {
        print_usage();
        return 2;
    }
    const char* out_path = argv[arg++];
    Vec3 size{2.0f, 2.0f, 2.0f};
    if (is_box && arg + 2 < argc && argv[arg][0] != '-') {
        if (!parse_size(argv[arg], &size.x) || !parse_size(argv[arg + 1], &size.y) ||
            !parse_size(argv[arg + 2], &size.z)) {
            std::printf("ERROR! box sides must be positive numbers\n");
            return 2;
        }
        arg += 3;
    }
    bool uv = false, material = false, plain = false, flip = false;
    const char* name = is_box ? "box" : "sphere";
    for (; arg < argc; ++arg) {
        if (std::strcmp(argv[arg], "--uv") == 0) {
            uv = true;
        } else if (std::strcmp(argv[arg], "--material") == 0) {
            material = true;
        } else if (std::strcmp(argv[arg], "--plain") == 0) {
            plain = true;
        } else if (std::strcmp(argv[arg], "--flip") == 0) {
            flip = true;
        } else if (std::strcmp(argv[arg], "--name") == 0 && arg + 1 < argc) {
            name = argv[++arg];
        } else {
            std::printf("ERROR! unknown option %s\n", argv[arg]);
            print_usage();
            return 2;
        }
    }

    Scene3ds scene{};
    scene.version_chunks = !plain;
    scene.material = material;
    Object3ds obj = is_box ? make_box_object(name, size, uv) : make_sphere_object(name, subdivisions, uv);
    if (flip)
        flip_object_faces(&obj);
    scene.objects.push_back(obj);
    const char* dot = std::strrchr(out_path, '.');
    bool written = dot && strcasecmp(dot, ".obj") == 0   ? write_obj_file(out_path, &scene)
                   : dot && strcasecmp(dot, ".stl") == 0 ? write_stl_file(out_path, &scene)
                                                          : write_3ds_file(out_path, &scene);
    if (!written) {
        std::printf("ERROR! Cannot write %s\n", out_path);
        return 1;
    }
    std::printf("%s: %s, %u vertices, %u faces\n", out_path, name, (unsigned)obj.vertices.size(),
                (unsigned)obj.faces.size());
    return 0;
}
