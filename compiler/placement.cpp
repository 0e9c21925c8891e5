#include "placement.h"

#include <cmath>
#include <cstdlib>

void rotation_matrix(Mat4* m, Vec3 axis, float angle)
{
    const float c = (float)std::cos((double)angle);
    const float s = (float)std::sin((double)angle);
    const float t = (float)(1.0 - (double)c);
    // Doubles from the float inputs; each element below is one double
    // expression, left to right, rounded once.
    const double x = axis.x, y = axis.y, z = axis.z;
    const double dc = c, ds = s, dt = t;
    Mat4 r = mat4_identity();
    r.m[0] = (float)(dt * x * x + dc);
    r.m[1] = (float)(dt * x * y + z * ds);
    r.m[2] = (float)(dt * x * z - y * ds);
    r.m[4] = (float)(dt * x * y - z * ds);
    r.m[5] = (float)(dt * y * y + dc);
    r.m[6] = (float)(dt * y * z + x * ds);
    r.m[8] = (float)(dt * x * z + y * ds);
    r.m[9] = (float)(dt * y * z - x * ds);
    r.m[10] = (float)(dt * z * z + dc);
    mat4_premultiply(m, &r);
}

static bool all_finite(Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

PlaceResult place_object(MapObject* obj, float pos_x, float pos_y, float pos_z, float scale,
                         float rt_angle, float rt_x, float rt_y, float rt_z)
{
    for (uint32_t i = 0; i < obj->face_count; ++i) {
        uint32_t a = obj->faces[i].v[0];
        obj->faces[i].v[0] = obj->faces[i].v[2];
        obj->faces[i].v[2] = a;
    }

    Mat4 m = mat4_identity();
    rotation_matrix(&m, Vec3{rt_x, rt_y, rt_z}, rt_angle);

    Vec3* v = obj->vertices;
    uint32_t min_x = 0, min_y = 0, min_z = 0, max_x = 0, max_y = 0, max_z = 0;
    for (uint32_t i = 0; i < obj->vertex_count; ++i) {
        v[i] = mat4_transform_point(&m, v[i]);
        if (v[i].x < v[min_x].x) min_x = i;
        if (v[i].y < v[min_y].y) min_y = i;
        if (v[i].z < v[min_z].z) min_z = i;
        if (v[i].x > v[max_x].x) max_x = i;
        if (v[i].y > v[max_y].y) max_y = i;
        if (v[i].z > v[max_z].z) max_z = i;
    }
    const float lo_x = v[min_x].x, lo_y = v[min_y].y, lo_z = v[min_z].z;
    const float size_x = (float)((double)v[max_x].x - lo_x);
    const float size_y = (float)((double)v[max_y].y - lo_y);
    const float size_z = (float)((double)v[max_z].z - lo_z);

    float L = size_y;
    if (size_x > L)
        L = size_x;
    if (size_z > L)
        L = size_z;
    if (!std::isfinite(L))
        return PLACE_NOT_FINITE;
    if (L == 0.0f)
        return PLACE_NO_EXTENT;

    const float k = (float)((double)scale / L);
    Mat4 scaling = mat4_identity();
    scaling.m[0] = scaling.m[5] = scaling.m[10] = k;
    Mat4 translation = mat4_identity();
    translation.m[12] = (float)(pos_x - (double)lo_x * k);
    translation.m[13] = (float)(pos_y - (double)lo_y * k);
    translation.m[14] = (float)(pos_z - (double)lo_z * k);
    m = mat4_identity();
    mat4_premultiply(&m, &scaling);
    mat4_premultiply(&m, &translation);

    obj->box[0] = pos_x;
    obj->box[1] = (float)((double)size_x * k);
    obj->box[2] = pos_y;
    obj->box[3] = (float)((double)size_y * k);
    obj->box[4] = pos_z;
    obj->box[5] = (float)((double)size_z * k);

    bool finite = std::isfinite(k);
    for (int i = 0; i < 6; ++i)
        finite = finite && std::isfinite(obj->box[i]);
    for (uint32_t i = 0; i < obj->vertex_count; ++i) {
        v[i] = mat4_transform_point(&m, v[i]);
        finite = finite && all_finite(v[i]);
    }
    // The collision field turns these into cell numbers; an infinite or
    // undefined coordinate has none.
    return finite ? PLACE_OK : PLACE_NOT_FINITE;
}

// unit(v) in double: each component times 1 / |v|, |v| from ((x*x + y*y) + z*z).
// A zero vector gives 0 * infinity, not-a-number as the hardware makes it.
static Vec3 unit_rounded(double x, double y, double z)
{
    double inv = 1.0 / std::sqrt(x * x + y * y + z * z);
    return Vec3{(float)(x * inv), (float)(y * inv), (float)(z * inv)};
}

bool calc_face_normals(MapObject* obj)
{
    Vec3* normals = (Vec3*)std::calloc(obj->face_count ? obj->face_count : 1, sizeof(Vec3));
    if (!normals)
        return false;
    const Vec3* v = obj->vertices;
    for (uint32_t i = 0; i < obj->face_count; ++i) {
        const Vec3 a = v[obj->faces[i].v[0]];
        const Vec3 b = v[obj->faces[i].v[1]];
        const Vec3 c = v[obj->faces[i].v[2]];
        const double ux = (double)b.x - a.x, uy = (double)b.y - a.y, uz = (double)b.z - a.z;
        const double wx = (double)c.x - a.x, wy = (double)c.y - a.y, wz = (double)c.z - a.z;
        normals[i] = unit_rounded(uy * wz - uz * wy, uz * wx - ux * wz, ux * wy - uy * wx);
    }
    std::free(obj->face_normals);
    obj->face_normals = normals;
    return true;
}

bool calc_vertex_normals(MapObject* obj)
{
    Vec3* sums = (Vec3*)std::calloc(obj->vertex_count ? obj->vertex_count : 1, sizeof(Vec3));
    if (!sums)
        return false;
    for (uint32_t i = 0; i < obj->face_count; ++i) {
        const uint32_t* f = obj->faces[i].v;
        const Vec3 n = obj->face_normals[i];
        for (int k = 0; k < 3; ++k) {
            // A face that names a vertex twice counts once for it.
            if ((k > 0 && f[k] == f[0]) || (k > 1 && f[k] == f[1]))
                continue;
            sums[f[k]] = vec3_add(sums[f[k]], n);
        }
    }
    for (uint32_t j = 0; j < obj->vertex_count; ++j)
        sums[j] = unit_rounded(sums[j].x, sums[j].y, sums[j].z);
    std::free(obj->vertex_normals);
    obj->vertex_normals = sums;
    return true;
}
