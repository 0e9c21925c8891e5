#include "mesh_gltf_check.h"

#include <rapidjson/document.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file_bytes.h"

namespace {

const uint64_t SATURATED = (uint64_t)1 << 62;

uint64_t add_saturated(uint64_t a, uint64_t b) { return a + b > SATURATED ? SATURATED : a + b; }

bool has_gltf_extension(const char* path)
{
    const char* dot = std::strrchr(path, '.');
    if (!dot || std::strchr(dot, '/'))
        return false;
    std::string ext;
    for (const char* p = dot + 1; *p; ++p)
        ext += (char)std::tolower((unsigned char)*p);
    return ext == "gltf" || ext == "glb";
}

// The deepest nesting of arrays and objects, strings skipped.
uint32_t json_nesting(const char* text, size_t size)
{
    uint32_t depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > deepest)
                deepest = depth;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

const rapidjson::Value* member(const rapidjson::Value& v, const char* name)
{
    if (!v.IsObject())
        return nullptr;
    auto it = v.FindMember(name);
    return it == v.MemberEnd() ? nullptr : &it->value;
}

const rapidjson::Value* array_member(const rapidjson::Value& v, const char* name)
{
    const rapidjson::Value* m = member(v, name);
    return m && m->IsArray() ? m : nullptr;
}

// An index member, or -1 when it is missing or no non-negative integer.
int64_t index_member(const rapidjson::Value& v, const char* name)
{
    const rapidjson::Value* m = member(v, name);
    return m && m->IsUint() ? (int64_t)m->GetUint() : -1;
}

// Triangles of every mesh of the file, each counted once.
std::vector<uint64_t> mesh_triangles(const rapidjson::Document& doc, GltfSceneCheck* check)
{
    std::vector<uint64_t> tris;
    const rapidjson::Value* meshes = array_member(doc, "meshes");
    const rapidjson::Value* accessors = array_member(doc, "accessors");
    if (!meshes)
        return tris;
    for (const rapidjson::Value& mesh : meshes->GetArray()) {
        uint64_t n = 0;
        const rapidjson::Value* prims = array_member(mesh, "primitives");
        for (rapidjson::SizeType p = 0; prims && p < prims->Size(); ++p) {
            const rapidjson::Value& prim = (*prims)[p];
            int64_t mode = member(prim, "mode") ? index_member(prim, "mode") : 4;
            int64_t accessor = index_member(prim, "indices");
            if (accessor < 0) {
                const rapidjson::Value* attributes = member(prim, "attributes");
                accessor = attributes ? index_member(*attributes, "POSITION") : -1;
            }
            uint64_t count = 0;
            if (accessors && accessor >= 0 && accessor < (int64_t)accessors->Size()) {
                int64_t c = index_member((*accessors)[(rapidjson::SizeType)accessor], "count");
                count = c > 0 ? (uint64_t)c : 0;
            }
            if (mode == 4)
                n = add_saturated(n, count / 3);
            else if ((mode == 5 || mode == 6) && count >= 3)
                n = add_saturated(n, count - 2);
            if (mode != 4)
                check->triangles_known = false;
        }
        tris.push_back(n);
        check->triangles = add_saturated(check->triangles, n);
    }
    return tris;
}

// What one node and everything below it place.
struct NodeTotals {
    uint32_t depth;
    uint64_t nodes;
    uint64_t triangles;
};

// Measures the graph from `roots` without recursion; false on a cycle.
bool measure_nodes(const rapidjson::Value& nodes, const std::vector<uint64_t>& tris, const std::vector<size_t>& roots,
                   NodeTotals* total)
{
    size_t n = nodes.Size();
    std::vector<uint8_t> state(n, 0);  // 0 unseen, 1 on the walk, 2 measured
    std::vector<NodeTotals> totals(n, NodeTotals{0, 0, 0});
    struct Step {
        size_t node;
        rapidjson::SizeType next_child;
    };
    std::vector<Step> walk;
    *total = NodeTotals{0, 0, 0};
    for (size_t root : roots) {
        if (state[root] == 0) {
            state[root] = 1;
            walk.push_back(Step{root, 0});
        }
        while (!walk.empty()) {
            Step& step = walk.back();
            const rapidjson::Value* children = array_member(nodes[(rapidjson::SizeType)step.node], "children");
            if (children && step.next_child < children->Size()) {
                const rapidjson::Value& c = (*children)[step.next_child++];
                if (!c.IsUint() || c.GetUint() >= n)
                    continue;
                size_t child = c.GetUint();
                if (state[child] == 1)
                    return false;
                if (state[child] == 0) {
                    state[child] = 1;
                    walk.push_back(Step{child, 0});
                }
                continue;
            }
            // All children measured: add them up.
            const rapidjson::Value& node = nodes[(rapidjson::SizeType)step.node];
            int64_t mesh = index_member(node, "mesh");
            NodeTotals t{1, 1, mesh >= 0 && mesh < (int64_t)tris.size() ? tris[(size_t)mesh] : 0};
            for (rapidjson::SizeType i = 0; children && i < children->Size(); ++i) {
                const rapidjson::Value& c = (*children)[i];
                if (!c.IsUint() || c.GetUint() >= n)
                    continue;
                const NodeTotals& ct = totals[c.GetUint()];
                if (ct.depth + 1 > t.depth)
                    t.depth = ct.depth + 1;
                t.nodes = add_saturated(t.nodes, ct.nodes);
                t.triangles = add_saturated(t.triangles, ct.triangles);
            }
            totals[step.node] = t;
            state[step.node] = 2;
            walk.pop_back();
        }
        const NodeTotals& rt = totals[root];
        if (rt.depth > total->depth)
            total->depth = rt.depth;
        total->nodes = add_saturated(total->nodes, rt.nodes);
        total->triangles = add_saturated(total->triangles, rt.triangles);
    }
    return true;
}

// The nodes the importer starts from: those of every scene, or without
// scenes every node that is no other node's child.
std::vector<size_t> root_nodes(const rapidjson::Document& doc, const rapidjson::Value& nodes)
{
    std::vector<size_t> roots;
    const rapidjson::Value* scenes = array_member(doc, "scenes");
    if (scenes && scenes->Size() > 0) {
        for (const rapidjson::Value& scene : scenes->GetArray()) {
            const rapidjson::Value* list = array_member(scene, "nodes");
            for (rapidjson::SizeType i = 0; list && i < list->Size(); ++i)
                if ((*list)[i].IsUint() && (*list)[i].GetUint() < nodes.Size())
                    roots.push_back((*list)[i].GetUint());
        }
        return roots;
    }
    std::vector<bool> is_child(nodes.Size(), false);
    for (const rapidjson::Value& node : nodes.GetArray()) {
        const rapidjson::Value* children = array_member(node, "children");
        for (rapidjson::SizeType i = 0; children && i < children->Size(); ++i)
            if ((*children)[i].IsUint() && (*children)[i].GetUint() < nodes.Size())
                is_child[(*children)[i].GetUint()] = true;
    }
    for (size_t i = 0; i < nodes.Size(); ++i)
        if (!is_child[i])
            roots.push_back(i);
    return roots;
}

bool check_json(const char* text, size_t size, GltfSceneCheck* check, char* reason, size_t reason_size)
{
    uint32_t nesting = json_nesting(text, size);
    if (nesting > MAX_JSON_NESTING) {
        std::snprintf(reason, reason_size, "its JSON nests %u levels deep, more than the %u allowed", nesting,
                      MAX_JSON_NESTING);
        return false;
    }
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(text, size);
    if (doc.HasParseError() || !doc.IsObject())
        return true;
    std::vector<uint64_t> tris = mesh_triangles(doc, check);
    const rapidjson::Value* nodes = array_member(doc, "nodes");
    if (!nodes)
        return true;
    NodeTotals total;
    if (!measure_nodes(*nodes, tris, root_nodes(doc, *nodes), &total)) {
        std::snprintf(reason, reason_size, "its nodes form a cycle");
        return false;
    }
    if (total.depth > MAX_SCENE_DEPTH) {
        std::snprintf(reason, reason_size, "its nodes are %u levels deep, more than the %u allowed", total.depth,
                      MAX_SCENE_DEPTH);
        return false;
    }
    if (total.triangles > MAX_PLACED_TRIANGLES) {
        std::snprintf(reason, reason_size, "its nodes place %s%llu triangles, more than the %llu allowed",
                      total.triangles >= SATURATED ? "over " : "", (unsigned long long)total.triangles,
                      (unsigned long long)MAX_PLACED_TRIANGLES);
        return false;
    }
    if (total.nodes > MAX_PLACED_NODES) {
        std::snprintf(reason, reason_size, "its nodes, copied wherever they are referenced, number %s%llu, more "
                      "than the %llu allowed", total.nodes >= SATURATED ? "over " : "",
                      (unsigned long long)total.nodes, (unsigned long long)MAX_PLACED_NODES);
        return false;
    }
    return true;
}

}  // namespace

bool check_gltf_scene(const char* path, GltfSceneCheck* check, char* reason, size_t size)
{
    *check = GltfSceneCheck{false, true, 0};
    size_t bytes_size = 0;
    uint8_t* bytes = read_file_bytes(path, &bytes_size);
    if (!bytes)
        return true;
    const char* text = nullptr;
    size_t text_size = 0;
    if (bytes_size >= 20 && std::memcmp(bytes, "glTF", 4) == 0) {
        // Binary glTF: the JSON is the first chunk.
        uint32_t chunk = load_u32_le(bytes + 12);
        if (load_u32_le(bytes + 16) == 0x4E4F534Au) {
            text = (const char*)bytes + 20;
            text_size = chunk < bytes_size - 20 ? chunk : bytes_size - 20;
        }
        check->is_gltf = true;
    } else if (has_gltf_extension(path)) {
        text = (const char*)bytes;
        text_size = bytes_size;
        check->is_gltf = true;
    }
    bool ok = !text || check_json(text, text_size, check, reason, size);
    std::free(bytes);
    return ok;
}
