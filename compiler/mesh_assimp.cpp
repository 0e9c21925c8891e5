#include "mesh_assimp.h"

#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cctype>

#include "file_bytes.h"

namespace {

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
        if (v[0] >= mesh->mNumVertices || v[1] >= mesh->mNumVertices || v[2] >= mesh->mNumVertices)
            continue;
        g->faces.push_back(MapFace{{index[v[0]], index[v[1]], index[v[2]]}});
    }
}

std::string part_name(const aiNode* node, const aiMesh* mesh)
{
    if (mesh->mName.length > 0)
        return mesh->mName.C_Str();
    return node->mName.C_Str();
}

// Adds the meshes of `node` and of all its children, depth first.
void add_subtree(const aiScene* scene, const aiNode* node, const aiMatrix4x4& parent, Gathered* g,
                 AssimpMeshInfo* info)
{
    aiMatrix4x4 transform = parent * node->mTransformation;
    for (unsigned i = 0; i < node->mNumMeshes; ++i) {
        const aiMesh* mesh = scene->mMeshes[node->mMeshes[i]];
        add_mesh(mesh, transform, g, info);
        info->merged.push_back(part_name(node, mesh));
    }
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        add_subtree(scene, node->mChildren[c], transform, g, info);
}

// The first node named `name` (depth first), with its parents' transform.
const aiNode* find_node(const aiNode* node, const aiMatrix4x4& parent, const char* name, aiMatrix4x4* found_parent)
{
    if (std::strcmp(node->mName.C_Str(), name) == 0) {
        *found_parent = parent;
        return node;
    }
    aiMatrix4x4 transform = parent * node->mTransformation;
    for (unsigned c = 0; c < node->mNumChildren; ++c) {
        const aiNode* hit = find_node(node->mChildren[c], transform, name, found_parent);
        if (hit)
            return hit;
    }
    return nullptr;
}

// Adds the first placement (depth first) of a mesh named `name`.
bool add_named_mesh(const aiScene* scene, const aiNode* node, const aiMatrix4x4& parent, const char* name,
                    Gathered* g, AssimpMeshInfo* info)
{
    aiMatrix4x4 transform = parent * node->mTransformation;
    for (unsigned i = 0; i < node->mNumMeshes; ++i) {
        const aiMesh* mesh = scene->mMeshes[node->mMeshes[i]];
        if (std::strcmp(mesh->mName.C_Str(), name) == 0) {
            add_mesh(mesh, transform, g, info);
            info->merged.push_back(name);
            return true;
        }
    }
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        if (add_named_mesh(scene, node->mChildren[c], transform, name, g, info))
            return true;
    return false;
}

// True when the node or any node below it holds a mesh.
bool holds_meshes(const aiNode* node)
{
    if (node->mNumMeshes > 0)
        return true;
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        if (holds_meshes(node->mChildren[c]))
            return true;
    return false;
}

// The names of the parts below `node` that hold meshes: nodes, and meshes
// named unlike their node.
void collect_part_names(const aiScene* scene, const aiNode* node, bool self, std::vector<std::string>* names)
{
    if (!self && node->mNumMeshes > 0 && node->mName.length > 0)
        names->push_back(node->mName.C_Str());
    for (unsigned i = 0; i < node->mNumMeshes; ++i) {
        const aiMesh* mesh = scene->mMeshes[node->mMeshes[i]];
        if (mesh->mName.length > 0 && std::strcmp(mesh->mName.C_Str(), node->mName.C_Str()) != 0)
            names->push_back(mesh->mName.C_Str());
    }
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        collect_part_names(scene, node->mChildren[c], false, names);
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

}  // namespace

bool read_assimp_mesh(const char* path, const char* object_name, MapObject* obj, AssimpMeshInfo* info,
                      char* reason, size_t size)
{
    empty_mesh(obj);
    *info = AssimpMeshInfo{};
    Assimp::Importer importer;
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

    Gathered g{};
    aiMatrix4x4 identity;
    std::vector<std::pair<std::string, std::string>> owners = read_group_owners(path);
    std::vector<OutlineEntry> outline = scene_outline(scene, owners);
    if (object_name) {
        aiMatrix4x4 parent;
        const aiNode* node = find_node(scene->mRootNode, identity, object_name, &parent);
        if (node) {
            add_subtree(scene, node, parent, &g, info);
            // An OBJ object's groups are the root's children after it.
            const aiNode* root = scene->mRootNode;
            for (unsigned c = 0; node->mParent == root && c < root->mNumChildren; ++c) {
                const std::string* owner = owner_of(owners, root->mChildren[c]->mName.C_Str());
                if (owner && *owner == object_name)
                    add_subtree(scene, root->mChildren[c], root->mTransformation, &g, info);
            }
        } else if (!add_named_mesh(scene, scene->mRootNode, identity, object_name, &g, info)) {
            describe_outline(outline, info);
            std::snprintf(reason, size, "it has no node or mesh named \"%s\"", object_name);
            return false;
        }
    } else {
        add_subtree(scene, scene->mRootNode, identity, &g, info);
        describe_outline(outline, info);
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
