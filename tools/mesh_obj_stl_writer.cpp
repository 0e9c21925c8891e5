#include "mesh_obj_stl_writer.h"

#include <cstdio>
#include <cstring>

#include "file_bytes.h"

// "<tag> a b [c]" with nine significant digits: every float reads back to
// the same bits.
static void append_numbers(std::string* text, const char* tag, const float* values, int count)
{
    char number[32];
    *text += tag;
    for (int i = 0; i < count; ++i) {
        std::snprintf(number, sizeof number, " %.9g", (double)values[i]);
        *text += number;
    }
    *text += "\n";
}

std::string build_obj_text(const Scene3ds* scene)
{
    std::string text = "# written by the ksm tools\n";
    size_t base = 1;
    for (const Object3ds& obj : scene->objects) {
        if (obj.kind != OBJECT_3DS_MESH)
            continue;
        text += "o " + obj.name + "\n";
        for (const Vec3& v : obj.vertices) {
            const float xyz[3] = {v.x, v.y, v.z};
            append_numbers(&text, "v", xyz, 3);
        }
        bool uv = obj.has_mapping && obj.mapping.size() >= 2 * obj.vertices.size();
        if (uv)
            for (size_t i = 0; i < obj.vertices.size(); ++i)
                append_numbers(&text, "vt", &obj.mapping[2 * i], 2);
        for (const MapFace& f : obj.faces) {
            char line[128];
            size_t a = base + f.v[0], b = base + f.v[1], c = base + f.v[2];
            if (uv)
                std::snprintf(line, sizeof line, "f %zu/%zu %zu/%zu %zu/%zu\n", a, a, b, b, c, c);
            else
                std::snprintf(line, sizeof line, "f %zu %zu %zu\n", a, b, c);
            text += line;
        }
        base += obj.vertices.size();
    }
    return text;
}

static bool write_whole_file(const char* path, const void* data, size_t size)
{
    FILE* f = std::fopen(path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}

bool write_obj_file(const char* path, const Scene3ds* scene)
{
    std::string text = build_obj_text(scene);
    return write_whole_file(path, text.data(), text.size());
}

std::vector<uint8_t> build_stl_bytes(const Scene3ds* scene)
{
    std::vector<uint8_t> b(84, 0);
    static const char header[] = "binary STL written by the ksm tools";
    std::memcpy(b.data(), header, sizeof header - 1);
    uint32_t count = 0;
    for (const Object3ds& obj : scene->objects) {
        if (obj.kind != OBJECT_3DS_MESH)
            continue;
        for (const MapFace& f : obj.faces) {
            const Vec3 &a = obj.vertices[f.v[0]], &p = obj.vertices[f.v[1]], &c = obj.vertices[f.v[2]];
            Vec3 n = vec3_unit(vec3_cross(vec3_sub(p, a), vec3_sub(c, a)));
            const Vec3 values[4] = {n, a, p, c};
            size_t at = b.size();
            b.resize(at + 50, 0);
            for (int k = 0; k < 4; ++k) {
                store_f32_le(&b[at + 12 * k], values[k].x);
                store_f32_le(&b[at + 12 * k + 4], values[k].y);
                store_f32_le(&b[at + 12 * k + 8], values[k].z);
            }
            ++count;
        }
    }
    store_u32_le(&b[80], count);
    return b;
}

bool write_stl_file(const char* path, const Scene3ds* scene)
{
    std::vector<uint8_t> bytes = build_stl_bytes(scene);
    return write_whole_file(path, bytes.data(), bytes.size());
}
