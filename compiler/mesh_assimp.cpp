#include "mesh_assimp.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cctype>

#include "file_bytes.h"

#include "mesh_gltf_check.h"
#include "user_files.h"

namespace {

// The files the importer opens (the mesh and those it names, such as a
// glTF's buffers or an OBJ's materials) must be regular files: a named pipe
// would block it and a link to an endless device would never end.
struct RegularFilesOnly : Assimp::DefaultIOSystem {
    bool Exists(const char* file) const override { return is_regular_file(file); }
    Assimp::IOStream* Open(const char* file, const char* mode) override
    {
        if (std::strchr(mode, 'r') && !is_regular_file(file))
            return nullptr;
        return Assimp::DefaultIOSystem::Open(file, mode);
    }
};

enum WalkResult { WALK_DONE, WALK_STOPPED, WALK_TOO_DEEP };

// Visits `start` and every node below it depth first in node order, with
// an explicit stack (a deep scene must not overflow the call stack).
// `visit(node, parent_transform, transform)` returns true to stop the walk.
template <typename Visit>
WalkResult walk_nodes(const aiNode* start, const aiMatrix4x4& parent, Visit visit)
{
    struct Pending {
        const aiNode* node;
        aiMatrix4x4 parent;
        uint32_t depth;
    };
    std::vector<Pending> stack{Pending{start, parent, 1}};
    while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        if (p.depth > MAX_SCENE_DEPTH)
            return WALK_TOO_DEEP;
        aiMatrix4x4 transform = p.parent * p.node->mTransformation;
        if (visit(p.node, p.parent, transform))
            return WALK_STOPPED;
        for (unsigned c = p.node->mNumChildren; c-- > 0;)
            stack.push_back(Pending{p.node->mChildren[c], transform, p.depth + 1});
    }
    return WALK_DONE;
}

// The triangles gathered from the scene, in the order they are met.
struct Gathered {
    std::vector<Vec3> vertices;
    std::vector<Vec3> tex_coords;
    std::vector<MapFace> faces;
    bool any_tex_coords;
    const aiMesh* first_mesh;
};

// Adds the triangles of one mesh placed by `transform`. Only vertices that a
// triangle uses are kept, in the mesh's order; points and lines are counted.
void add_mesh(const aiMesh* mesh, const aiMatrix4x4& transform, Gathered* g, AssimpMeshInfo* info)
{
    if (!g->first_mesh)
        g->first_mesh = mesh;
    std::vector<uint32_t> index(mesh->mNumVertices, UINT32_MAX);
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        const aiFace& face = mesh->mFaces[f];
        if (face.mNumIndices == 3) {
            for (int k = 0; k < 3; ++k)
                if (face.mIndices[k] < mesh->mNumVertices)
                    index[face.mIndices[k]] = 0;
        } else if (face.mNumIndices == 1) {
            ++info->dropped_points;
        } else if (face.mNumIndices == 2) {
            ++info->dropped_lines;
        }
    }
    const aiVector3D* uv = mesh->mTextureCoords[0];
    if (uv)
        g->any_tex_coords = true;
    for (unsigned i = 0; i < mesh->mNumVertices; ++i) {
        if (index[i] == UINT32_MAX)
            continue;
        index[i] = (uint32_t)g->vertices.size();
        aiVector3D p = transform * mesh->mVertices[i];
        g->vertices.push_back(Vec3{p.x, p.y, p.z});
        g->tex_coords.push_back(uv ? Vec3{uv[i].x, uv[i].y, 0.0f} : Vec3{0.0f, 0.0f, 0.0f});
    }
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        const aiFace& face = mesh->mFaces[f];
        if (face.mNumIndices != 3)
            continue;
        const unsigned* v = face.mIndices;
        if (v[0] >= mesh->mNumVertices || v[1] >= mesh->mNumVertices || v[2] >= mesh->mNumVertices) {
            ++info->bad_faces;
            continue;
        }
        g->faces.push_back(MapFace{{index[v[0]], index[v[1]], index[v[2]]}});
    }
}

std::string part_name(const aiNode* node, const aiMesh* mesh)
{
    if (mesh->mName.length > 0)
        return mesh->mName.C_Str();
    return node->mName.C_Str();
}

// Why a walk over the scene stopped early.
enum SceneFault { SCENE_OK, SCENE_TOO_DEEP, SCENE_TOO_MANY_TRIANGLES };

SceneFault fault_of(WalkResult walk, bool too_many)
{
    if (walk == WALK_TOO_DEEP)
        return SCENE_TOO_DEEP;
    return too_many ? SCENE_TOO_MANY_TRIANGLES : SCENE_OK;
}

// Adds one placement of a mesh unless the placed triangles would pass the
// limit; true when they would.
bool add_placed_mesh(const aiMesh* mesh, const aiMatrix4x4& transform, Gathered* g, AssimpMeshInfo* info)
{
    if (g->faces.size() + mesh->mNumFaces > MAX_PLACED_TRIANGLES)
        return true;
    add_mesh(mesh, transform, g, info);
    return false;
}

// Adds the meshes of `node` and of all its children, depth first.
SceneFault add_subtree(const aiScene* scene, const aiNode* node, const aiMatrix4x4& parent, Gathered* g,
                       AssimpMeshInfo* info)
{
    bool too_many = false;
    WalkResult walk = walk_nodes(node, parent, [&](const aiNode* n, const aiMatrix4x4&, const aiMatrix4x4& t) {
        for (unsigned i = 0; i < n->mNumMeshes; ++i) {
            const aiMesh* mesh = scene->mMeshes[n->mMeshes[i]];
            if ((too_many = add_placed_mesh(mesh, t, g, info)))
                return true;
            info->merged.push_back(part_name(n, mesh));
        }
        return false;
    });
    return fault_of(walk, too_many);
}

// The first node named `name` (depth first), with its parents' transform.
const aiNode* find_node(const aiNode* root, const char* name, aiMatrix4x4* found_parent)
{
    const aiNode* found = nullptr;
    walk_nodes(root, aiMatrix4x4(), [&](const aiNode* n, const aiMatrix4x4& parent, const aiMatrix4x4&) {
        if (std::strcmp(n->mName.C_Str(), name) != 0)
            return false;
        found = n;
        *found_parent = parent;
        return true;
    });
    return found;
}

// Adds the first placement (depth first) of a mesh named `name`; `*found`
// tells whether there was one.
SceneFault add_named_mesh(const aiScene* scene, const aiNode* root, const char* name, Gathered* g,
                          AssimpMeshInfo* info, bool* found)
{
    bool too_many = false;
    *found = false;
    WalkResult walk = walk_nodes(root, aiMatrix4x4(), [&](const aiNode* n, const aiMatrix4x4&, const aiMatrix4x4& t) {
        for (unsigned i = 0; i < n->mNumMeshes; ++i) {
            const aiMesh* mesh = scene->mMeshes[n->mMeshes[i]];
            if (std::strcmp(mesh->mName.C_Str(), name) == 0) {
                *found = true;
                too_many = add_placed_mesh(mesh, t, g, info);
                if (!too_many)
                    info->merged.push_back(name);
                return true;
            }
        }
        return false;
    });
    return fault_of(walk, too_many);
}

// True when the node or any node below it holds a mesh.
bool holds_meshes(const aiNode* node)
{
    WalkResult walk = walk_nodes(node, aiMatrix4x4(), [](const aiNode* n, const aiMatrix4x4&, const aiMatrix4x4&) {
        return n->mNumMeshes > 0;
    });
    return walk == WALK_STOPPED;
}

// The names of the parts below `node` that hold meshes: nodes, and meshes
// named unlike their node (enough of them for any note).
void collect_part_names(const aiScene* scene, const aiNode* node, bool self, std::vector<std::string>* names)
{
    walk_nodes(node, aiMatrix4x4(), [&](const aiNode* n, const aiMatrix4x4&, const aiMatrix4x4&) {
        if ((n != node || !self) && n->mNumMeshes > 0 && n->mName.length > 0)
            names->push_back(n->mName.C_Str());
        for (unsigned i = 0; i < n->mNumMeshes; ++i) {
            const aiMesh* mesh = scene->mMeshes[n->mMeshes[i]];
            if (mesh->mName.length > 0 && std::strcmp(mesh->mName.C_Str(), n->mName.C_Str()) != 0)
                names->push_back(mesh->mName.C_Str());
        }
        return names->size() > 10000;
    });
}

// The owner of a group node among the OBJ file's objects, or null.
const std::string* owner_of(const std::vector<std::pair<std::string, std::string>>& owners, const char* name)
{
    for (const auto& o : owners)
        if (o.first == name)
            return &o.second;
    return nullptr;
}

struct OutlineEntry {
    std::string name;
    std::vector<std::string> parts;
    bool has_meshes;
};

// The scene's objects (the root's children, the root itself when it holds a
// mesh), each with the parts inside it; an OBJ group joins its object.
std::vector<OutlineEntry> scene_outline(const aiScene* scene,
                                        const std::vector<std::pair<std::string, std::string>>& owners)
{
    std::vector<OutlineEntry> entries;
    const aiNode* root = scene->mRootNode;
    if (root->mNumMeshes > 0)
        entries.push_back(OutlineEntry{root->mName.C_Str(), {}, true});
    for (unsigned c = 0; c < root->mNumChildren; ++c) {
        const aiNode* child = root->mChildren[c];
        const std::string* owner = owner_of(owners, child->mName.C_Str());
        OutlineEntry* into = nullptr;
        for (OutlineEntry& e : entries)
            if (owner && e.name == *owner)
                into = &e;
        if (into) {
            into->parts.push_back(child->mName.C_Str());
            collect_part_names(scene, child, true, &into->parts);
            into->has_meshes = into->has_meshes || holds_meshes(child);
            continue;
        }
        entries.push_back(OutlineEntry{child->mName.C_Str(), {}, holds_meshes(child)});
        collect_part_names(scene, child, true, &entries.back().parts);
    }
    std::vector<OutlineEntry> kept;
    for (OutlineEntry& e : entries)
        if (e.has_meshes)
            kept.push_back(e);
    return kept;
}

// "a", "b", ... with at most `limit` names, then "...".
std::string quoted_list(const std::vector<std::string>& names, size_t limit)
{
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i == limit)
            return text + ", ...";
        text += (i ? ", \"" : "\"") + names[i] + "\"";
    }
    return text;
}

void describe_outline(const std::vector<OutlineEntry>& entries, AssimpMeshInfo* info)
{
    const size_t LISTED = 8;
    info->outline.clear();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i == LISTED) {
            info->outline += ", ...";
            break;
        }
        info->outline += (i ? ", \"" : "\"") + entries[i].name + "\"";
        if (!entries[i].parts.empty())
            info->outline += " (with " + quoted_list(entries[i].parts, LISTED) + ")";
    }
}

bool is_obj_path(const char* path)
{
    size_t n = std::strlen(path);
    return n >= 4 && path[n - 4] == '.' && std::tolower((unsigned char)path[n - 3]) == 'o' &&
           std::tolower((unsigned char)path[n - 2]) == 'b' && std::tolower((unsigned char)path[n - 1]) == 'j';
}

// The scene objects of an OBJ file's text: each group ("g NAME") that
// follows an object ("o NAME") belongs to it, though assimp makes it a node
// of its own beside the object's. Maps every such group to its object.
std::vector<std::pair<std::string, std::string>> obj_group_owners(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> owners;
    std::vector<std::string> objects;
    for (const std::string& line : split_text_lines(text)) {
        size_t a = line.find_first_not_of(" \t");
        if (a == std::string::npos || (line[a] != 'o' && line[a] != 'g') || a + 1 >= line.size() ||
            (line[a + 1] != ' ' && line[a + 1] != '\t'))
            continue;
        size_t b = line.find_first_not_of(" \t", a + 1);
        size_t z = line.find_last_not_of(" \t");
        std::string name = b == std::string::npos || z < b ? "" : line.substr(b, z - b + 1);
        if (line[a] == 'o') {
            objects.push_back(name);
        } else if (!objects.empty() && !name.empty() && owner_of(owners, name.c_str()) == nullptr) {
            owners.push_back({name, objects.back()});
        }
    }
    // A group named like an object is that object's node, not a part of another.
    std::vector<std::pair<std::string, std::string>> kept;
    for (const auto& o : owners)
        if (std::find(objects.begin(), objects.end(), o.first) == objects.end())
            kept.push_back(o);
    return kept;
}

// The group owners of an OBJ file (none for other formats or an unreadable file).
std::vector<std::pair<std::string, std::string>> read_group_owners(const char* path)
{
    if (!is_obj_path(path))
        return {};
    size_t size = 0;
    uint8_t* data = read_file_bytes(path, &size);
    if (!data)
        return {};
    std::string text((const char*)data, size);
    std::free(data);
    return obj_group_owners(text);
}

// assimp's message on one line, without a closing full stop (the caller's
// message ends with its own mark).
void tidy_reason(const char* text, char* out, size_t size)
{
    std::snprintf(out, size, "%s", text && text[0] ? text : "assimp cannot read it");
    for (char* p = out; *p; ++p)
        if (*p == '\n' || *p == '\r' || *p == '\t')
            *p = ' ';
    size_t n = std::strlen(out);
    while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '.'))
        out[--n] = '\0';
}

template <typename T>
T* copy_array(const std::vector<T>& v)
{
    T* out = (T*)std::calloc(v.empty() ? 1 : v.size(), sizeof(T));
    if (out && !v.empty())
        std::memcpy(out, v.data(), v.size() * sizeof(T));
    return out;
}

void empty_mesh(MapObject* obj)
{
    clear_object(obj);
    obj->vertex_count = 0;
    obj->face_count = 0;
}

// Says why a walk over the scene stopped early; false when it did not.
bool scene_fault_reason(SceneFault fault, char* reason, size_t size)
{
    if (fault == SCENE_TOO_DEEP)
        std::snprintf(reason, size, "its nodes are more than %u levels deep", MAX_SCENE_DEPTH);
    else if (fault == SCENE_TOO_MANY_TRIANGLES)
        std::snprintf(reason, size, "its nodes place more than %llu triangles",
                      (unsigned long long)MAX_PLACED_TRIANGLES);
    return fault != SCENE_OK;
}

// Triangles of the scene's meshes, each counted once.
uint64_t scene_triangles(const aiScene* scene)
{
    uint64_t n = 0;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m)
        for (unsigned f = 0; f < scene->mMeshes[m]->mNumFaces; ++f)
            n += scene->mMeshes[m]->mFaces[f].mNumIndices == 3 ? 1 : 0;
    return n;
}

// The whole read, on the thread that runs it: the importer, the scene and
// its recursive destruction all stay on that thread's stack.
bool read_on_this_thread(const char* path, const char* object_name, MapObject* obj, AssimpMeshInfo* info,
                         char* reason, size_t size)
{
    empty_mesh(obj);
    *info = AssimpMeshInfo{};
    GltfSceneCheck gltf;
    if (!check_gltf_scene(path, &gltf, reason, size))
        return false;
    Assimp::Importer importer;
    importer.SetIOHandler(new RegularFilesOnly);
    // Normals and colours are dropped before joining, so that corners that
    // differ only in them (every corner of an STL file) become one vertex.
    importer.SetPropertyInteger(AI_CONFIG_PP_RVC_FLAGS, aiComponent_NORMALS | aiComponent_TANGENTS_AND_BITANGENTS |
                                                            aiComponent_COLORS | aiComponent_BONEWEIGHTS);
    const aiScene* scene =
        importer.ReadFile(path, aiProcess_ValidateDataStructure | aiProcess_RemoveComponent |
                                    aiProcess_Triangulate | aiProcess_JoinIdenticalVertices);
    if (!scene || !scene->mRootNode) {
        tidy_reason(importer.GetErrorString(), reason, size);
        return false;
    }
    // The glTF importer drops a triangle with a vertex index out of range
    // without a word; the triangles the file declares tell.
    uint64_t imported = scene_triangles(scene);
    if (gltf.is_gltf && gltf.triangles_known && imported < gltf.triangles) {
        std::snprintf(reason, size, "glTF: vertex index out of range in %llu of its %llu triangles",
                      (unsigned long long)(gltf.triangles - imported), (unsigned long long)gltf.triangles);
        return false;
    }

    Gathered g{};
    aiMatrix4x4 identity;
    std::vector<std::pair<std::string, std::string>> owners = read_group_owners(path);
    std::vector<OutlineEntry> outline = scene_outline(scene, owners);
    SceneFault fault = SCENE_OK;
    if (object_name) {
        aiMatrix4x4 parent;
        const aiNode* node = find_node(scene->mRootNode, object_name, &parent);
        bool found = node != nullptr;
        if (node) {
            fault = add_subtree(scene, node, parent, &g, info);
            // An OBJ object's groups are the root's children after it.
            const aiNode* root = scene->mRootNode;
            for (unsigned c = 0; fault == SCENE_OK && node->mParent == root && c < root->mNumChildren; ++c) {
                const std::string* owner = owner_of(owners, root->mChildren[c]->mName.C_Str());
                if (owner && *owner == object_name)
                    fault = add_subtree(scene, root->mChildren[c], root->mTransformation, &g, info);
            }
        } else {
            fault = add_named_mesh(scene, scene->mRootNode, object_name, &g, info, &found);
        }
        if (!found && fault == SCENE_OK) {
            describe_outline(outline, info);
            std::snprintf(reason, size, "it has no node or mesh named \"%s\"", object_name);
            return false;
        }
    } else {
        fault = add_subtree(scene, scene->mRootNode, identity, &g, info);
        describe_outline(outline, info);
    }
    if (scene_fault_reason(fault, reason, size))
        return false;
    if (info->bad_faces > 0) {
        std::snprintf(reason, size, "vertex index out of range in %u faces", info->bad_faces);
        return false;
    }
    if (g.faces.empty()) {
        std::snprintf(reason, size, "it holds no triangles%s", object_name ? " in the object asked for" : "");
        return false;
    }

    obj->vertices = copy_array(g.vertices);
    obj->faces = copy_array(g.faces);
    obj->tex_coords = g.any_tex_coords ? copy_array(g.tex_coords) : nullptr;
    if (!obj->vertices || !obj->faces || (g.any_tex_coords && !obj->tex_coords)) {
        empty_mesh(obj);
        std::snprintf(reason, size, "not enough memory for the mesh");
        return false;
    }
    obj->vertex_count = (uint32_t)g.vertices.size();
    obj->face_count = (uint32_t)g.faces.size();

    std::string name;
    if (object_name)
        name = object_name;
    else if (outline.size() == 1 && !outline[0].name.empty() && outline[0].name[0] != '<')
        name = outline[0].name;  // not assimp's stand-in such as "<STL_BINARY>"
    else if (outline.size() == 1 && g.first_mesh && g.first_mesh->mName.length > 0)
        name = g.first_mesh->mName.C_Str();
    else if (outline.size() > 1) {
        for (size_t i = 0; i < outline.size(); ++i)
            name += (i ? " + " : "") + outline[i].name;
    } else {
        const char* slash = std::strrchr(path, '/');
        name = slash ? slash + 1 : path;
    }
    std::snprintf(obj->name, sizeof obj->name, "%s", name.c_str());
    return true;
}

// The importer walks a scene recursively; on this stack a scene within the
// limits (and far deeper ones of other formats) cannot overflow it. Only
// the pages touched are ever used.
const size_t IMPORT_STACK_BYTES = (size_t)256 << 20;

struct ReadJob {
    const char* path;
    const char* object_name;
    MapObject* obj;
    AssimpMeshInfo* info;
    char* reason;
    size_t size;
    bool ok;
};

void* run_read_job(void* arg)
{
    ReadJob* job = (ReadJob*)arg;
    job->ok = read_on_this_thread(job->path, job->object_name, job->obj, job->info, job->reason, job->size);
    return nullptr;
}

}  // namespace

bool read_assimp_mesh(const char* path, const char* object_name, MapObject* obj, AssimpMeshInfo* info,
                      char* reason, size_t size)
{
    ReadJob job{path, object_name, obj, info, reason, size, false};
    pthread_attr_t attr;
    pthread_t thread;
    bool started = pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, IMPORT_STACK_BYTES) == 0 &&
                   pthread_create(&thread, &attr, run_read_job, &job) == 0;
    pthread_attr_destroy(&attr);
    if (started)
        pthread_join(thread, nullptr);
    else
        run_read_job(&job);  // no thread to be had: the limits still hold
    return job.ok;
}
