// Object placement and normals: worked values, the rounding rule that makes
// placed meshes reproducible to the bit, and degenerate meshes.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "mesh_3ds_writer.h"
#include "placement.h"

namespace {

// A MapObject holding a copy of a writer mesh (vertices and faces only).
MapObject object_from(const Object3ds& src) { return map_object_from(&src); }

uint32_t bits_of(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

bool same_bits(Vec3 a, Vec3 b) { return bits_of(a.x) == bits_of(b.x) && bits_of(a.y) == bits_of(b.y) && bits_of(a.z) == bits_of(b.z); }

const float PI_F = 3.14159265358979f;

}  // namespace

TEST(Placement, CubeOfSideTwoAtScaleTen)
{
    Object3ds cube = make_box_object("cube", Vec3{2, 2, 2}, false);
    MapObject obj = object_from(cube);
    ASSERT_EQ(place_object(&obj, 5, 0, 5, 10, 0, 0, 1, 0), PLACE_OK);
    for (uint32_t i = 0; i < obj.vertex_count; ++i) {
        // Vertex i of the writer's box has its x, y, z signs from bits 0, 1, 2.
        EXPECT_EQ(obj.vertices[i].x, (i & 1) ? 15.0f : 5.0f);
        EXPECT_EQ(obj.vertices[i].y, (i & 2) ? 10.0f : 0.0f);
        EXPECT_EQ(obj.vertices[i].z, (i & 4) ? 15.0f : 5.0f);
    }
    const float box[6] = {5, 10, 0, 10, 5, 10};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(obj.box[i], box[i]) << i;
    clear_object(&obj);
}

TEST(Placement, AngleZeroLeavesTheOrientationForAnyAxis)
{
    Object3ds ball = make_sphere_object("ball", 2, false);
    MapObject reference = object_from(ball);
    ASSERT_EQ(place_object(&reference, 1.5f, -2, 3, 7, 0, 0, 1, 0), PLACE_OK);
    const Vec3 axes[] = {{0, 0, 0}, {1, 2, 3}, {-7, 0.5f, 1e6f}, {1e-30f, -1e-30f, 4}};
    for (Vec3 axis : axes) {
        MapObject obj = object_from(ball);
        ASSERT_EQ(place_object(&obj, 1.5f, -2, 3, 7, 0, axis.x, axis.y, axis.z), PLACE_OK);
        for (uint32_t i = 0; i < obj.vertex_count; ++i)
            EXPECT_TRUE(same_bits(obj.vertices[i], reference.vertices[i])) << i;
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(obj.box[i], reference.box[i]);
        clear_object(&obj);
    }
    clear_object(&reference);
}

TEST(Placement, ZeroAxisWithAngleVIsAPointReflection)
{
    Mat4 m = mat4_identity();
    rotation_matrix(&m, Vec3{0, 0, 0}, PI_F);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(m.m[i], (i == 15) ? 1.0f : (i % 5 == 0 ? -1.0f : 0.0f)) << i;

    // The box is symmetric: reflected, vertex i takes the place of vertex 7 - i.
    Object3ds box = make_box_object("box", Vec3{2, 3, 4}, false);
    MapObject plain = object_from(box), reflected = object_from(box);
    ASSERT_EQ(place_object(&plain, 1, 2, 3, 4, 0, 0, 1, 0), PLACE_OK);
    ASSERT_EQ(place_object(&reflected, 1, 2, 3, 4, PI_F, 0, 0, 0), PLACE_OK);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_TRUE(same_bits(reflected.vertices[i], plain.vertices[7 - i])) << i;
    clear_object(&plain);
    clear_object(&reflected);
}

TEST(Placement, RotationIsRightHandedAndTheLongestSideBecomesScale)
{
    // A quarter turn about +z takes +x to +y.
    Mat4 m = mat4_identity();
    rotation_matrix(&m, Vec3{0, 0, 1}, PI_F / 2);
    Vec3 p = mat4_transform_point(&m, Vec3{1, 0, 0});
    EXPECT_NEAR(p.x, 0.0f, 1e-6f);
    EXPECT_NEAR(p.y, 1.0f, 1e-6f);

    // A long object on z: its z side equals scale, x and y shrink with it.
    MapObject obj = object_from(make_box_object("rod", Vec3{1, 2, 8}, false));
    ASSERT_EQ(place_object(&obj, 0, 0, 0, 4, 0, 0, 1, 0), PLACE_OK);
    EXPECT_EQ(obj.box[1], 0.5f);
    EXPECT_EQ(obj.box[3], 1.0f);
    EXPECT_EQ(obj.box[5], 4.0f);
    EXPECT_EQ(obj.vertices[7].z - obj.vertices[0].z, 4.0f);
    // Turned a quarter about y, the long side lies along x.
    clear_object(&obj);
    obj = object_from(make_box_object("rod", Vec3{1, 2, 8}, false));
    ASSERT_EQ(place_object(&obj, 0, 0, 0, 4, PI_F / 2, 0, 1, 0), PLACE_OK);
    EXPECT_NEAR(obj.box[1], 4.0f, 1e-5f);
    EXPECT_NEAR(obj.box[5], 0.5f, 1e-5f);
    clear_object(&obj);
}

TEST(Placement, PlacedVerticesFollowTheDoubleRoundingRule)
{
    // The rule written out independently: every named quantity a float,
    // each formula evaluated in double from float inputs and rounded once.
    const float ax = 0.6f, ay = 0.3f, az = 0.8f, angle = 0.7f;
    const float pos[3] = {2.5f, 1.0f, 3.25f}, scale = 6.3f;
    Object3ds ball = make_sphere_object("ball", 2, false);

    float c = (float)std::cos((double)angle), s = (float)std::sin((double)angle);
    float t = (float)(1.0 - c);
    double x = ax, y = ay, z = az;
    float r[16] = {0};
    r[0] = (float)(t * x * x + c), r[1] = (float)(t * x * y + z * s), r[2] = (float)(t * x * z - y * s);
    r[4] = (float)(t * x * y - z * s), r[5] = (float)(t * y * y + c), r[6] = (float)(t * y * z + x * s);
    r[8] = (float)(t * x * z + y * s), r[9] = (float)(t * y * z - x * s), r[10] = (float)(t * z * z + c);
    r[15] = 1;
    std::vector<Vec3> rotated;
    for (const Vec3& v : ball.vertices) {
        // R times the identity is R itself: every product has a 0 or 1 factor.
        rotated.push_back(Vec3{(float)((((double)r[0] * v.x + (double)r[4] * v.y) + (double)r[8] * v.z) + 0.0),
                               (float)((((double)r[1] * v.x + (double)r[5] * v.y) + (double)r[9] * v.z) + 0.0),
                               (float)((((double)r[2] * v.x + (double)r[6] * v.y) + (double)r[10] * v.z) + 0.0)});
    }
    float lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = hi[a] = (&rotated[0].x)[a];
        for (const Vec3& v : rotated) {
            lo[a] = std::min(lo[a], (&v.x)[a]);
            hi[a] = std::max(hi[a], (&v.x)[a]);
        }
    }
    float size[3];
    for (int a = 0; a < 3; ++a)
        size[a] = (float)((double)hi[a] - lo[a]);
    float L = std::max(size[1], std::max(size[0], size[2]));
    float k = (float)((double)scale / L);
    float move[3];
    for (int a = 0; a < 3; ++a)
        move[a] = (float)(pos[a] - (double)lo[a] * k);

    MapObject obj = object_from(ball);
    ASSERT_EQ(place_object(&obj, pos[0], pos[1], pos[2], scale, angle, ax, ay, az), PLACE_OK);
    int differs_from_float_math = 0;
    for (size_t i = 0; i < rotated.size(); ++i) {
        const Vec3& v = rotated[i];
        Vec3 want{(float)((((double)k * v.x + 0.0 * v.y) + 0.0 * v.z) + move[0]),
                  (float)((((double)0.0 * v.x + (double)k * v.y) + 0.0 * v.z) + move[1]),
                  (float)((((double)0.0 * v.x + 0.0 * v.y) + (double)k * v.z) + move[2])};
        EXPECT_TRUE(same_bits(obj.vertices[i], want)) << i;
        // The same chain in float arithmetic lands elsewhere for some vertex,
        // so the comparison above does tell the rules apart.
        Vec3 src = ball.vertices[i];
        float fx = r[0] * src.x + r[4] * src.y + r[8] * src.z;
        if (bits_of(fx * k + move[0]) != bits_of(obj.vertices[i].x))
            ++differs_from_float_math;
    }
    EXPECT_GT(differs_from_float_math, 0);
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(bits_of(obj.box[2 * a]), bits_of(pos[a]));
        EXPECT_EQ(bits_of(obj.box[2 * a + 1]), bits_of((float)((double)size[a] * k)));
    }
    clear_object(&obj);
}

TEST(Placement, MatrixProductIsOneDoubleSumPerElement)
{
    // B * A, not A * B: a translation after a scaling moves by the
    // translation only.
    Mat4 a = mat4_identity(), b = mat4_identity();
    a.m[0] = a.m[5] = a.m[10] = 2;
    b.m[12] = 3;
    mat4_premultiply(&a, &b);
    EXPECT_EQ(a.m[12], 3.0f);
    EXPECT_EQ(a.m[0], 2.0f);

    // Four products whose float sum would lose the small ones.
    Mat4 left{}, right{};
    const float big = 16777216.0f;  // 2^24
    left.m[0] = big, left.m[4] = 1, left.m[8] = 1, left.m[12] = -big;
    right.m[0] = right.m[1] = right.m[2] = right.m[3] = 1;
    mat4_premultiply(&right, &left);
    EXPECT_EQ(right.m[0], 2.0f);  // (2^24 + 1 + 1) - 2^24 in double

    // Zero terms are part of the sum: 0 * infinity is not a number.
    Mat4 m = mat4_identity();
    m.m[4] = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(std::isnan(mat4_transform_point(&m, Vec3{1, 0, 0}).x));
    Vec3 p = mat4_transform_point(&m, Vec3{1, 0, 0});
    EXPECT_EQ(p.y, 0.0f);
}

TEST(Placement, FacesAreReversedAndNormalsPointIntoTheModel)
{
    Object3ds box = make_box_object("box", Vec3{2, 4, 6}, false);
    MapObject obj = object_from(box);
    ASSERT_EQ(place_object(&obj, 0, 0, 0, 6, 0, 0, 1, 0), PLACE_OK);
    ASSERT_TRUE(calc_face_normals(&obj));
    ASSERT_TRUE(calc_vertex_normals(&obj));
    Vec3 centre{1, 2, 3};
    for (uint32_t i = 0; i < obj.face_count; ++i) {
        const MapFace& file_face = box.faces[i];
        EXPECT_EQ(obj.faces[i].v[0], file_face.v[2]);
        EXPECT_EQ(obj.faces[i].v[1], file_face.v[1]);
        EXPECT_EQ(obj.faces[i].v[2], file_face.v[0]);
        Vec3 n = obj.face_normals[i];
        // Axis-aligned sides: exactly one unit component.
        EXPECT_EQ(std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z), 1.0f);
        Vec3 a = obj.vertices[obj.faces[i].v[0]];
        EXPECT_LT(vec3_dot(n, vec3_sub(a, centre)), 0.0f) << i;
    }
    for (uint32_t j = 0; j < obj.vertex_count; ++j) {
        Vec3 n = obj.vertex_normals[j];
        EXPECT_NEAR(vec3_length(n), 1.0f, 1e-6f);
        EXPECT_LT(vec3_dot(n, vec3_sub(obj.vertices[j], centre)), 0.0f) << j;
    }
    clear_object(&obj);
}

TEST(Placement, DegenerateFacesAndUnusedVerticesHaveNoNormal)
{
    Object3ds mesh = make_mesh_object("flat");
    mesh.vertices = {Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{2, 0, 0}, Vec3{5, 5, 5}};
    // A proper face, then a face along a line (zero area); vertex 4 is unused.
    mesh.faces = {MapFace{{0, 1, 2}}, MapFace{{0, 1, 3}}};
    MapObject obj = object_from(mesh);
    ASSERT_EQ(place_object(&obj, 0, 0, 0, 5, 0, 0, 1, 0), PLACE_OK);
    ASSERT_TRUE(calc_face_normals(&obj));
    ASSERT_TRUE(calc_vertex_normals(&obj));
    EXPECT_EQ(obj.face_normals[0].z, -1.0f);  // reversed: (c, b, a)
    EXPECT_TRUE(std::isnan(obj.face_normals[1].x));
    EXPECT_TRUE(std::isnan(obj.vertex_normals[4].y));
    EXPECT_TRUE(std::isnan(obj.vertex_normals[0].z));  // shares the zero-area face
    EXPECT_EQ(obj.vertex_normals[2].z, -1.0f);         // only the proper face
#if defined(__x86_64__) || defined(__i386__)
    // The hardware's 0 * infinity: the float bytes 00 00 C0 FF.
    EXPECT_EQ(bits_of(obj.face_normals[1].x), 0xFFC00000u);
    EXPECT_EQ(bits_of(obj.vertex_normals[4].z), 0xFFC00000u);
#endif
    clear_object(&obj);
}

TEST(Placement, BoxesWithoutExtentOrFiniteSizeAreRejected)
{
    Object3ds point = make_mesh_object("point");
    point.vertices = {Vec3{1, 2, 3}, Vec3{1, 2, 3}};
    point.faces = {MapFace{{0, 1, 1}}};
    MapObject obj = object_from(point);
    EXPECT_EQ(place_object(&obj, 0, 0, 0, 1, 0, 0, 1, 0), PLACE_NO_EXTENT);
    clear_object(&obj);

    const float inf = std::numeric_limits<float>::infinity();
    Object3ds bad = make_box_object("b", Vec3{1, 1, 1}, false);
    bad.vertices[3].y = std::numeric_limits<float>::quiet_NaN();
    bad.vertices[5].y = inf;
    obj = object_from(bad);
    EXPECT_EQ(place_object(&obj, 0, 0, 0, 1, 0, 0, 1, 0), PLACE_NOT_FINITE);
    clear_object(&obj);

    // Finite meshes placed with values beyond the float range.
    struct Args {
        float pos_x, scale, axis_x;
    } cases[] = {{0, inf, 0}, {3e38f, 1e38f, 0}, {0, 1, inf}};
    for (const Args& a : cases) {
        obj = object_from(make_box_object("b", Vec3{1, 1, 1}, false));
        EXPECT_EQ(place_object(&obj, a.pos_x, 0, 0, a.scale, 0, a.axis_x, 1, 0), PLACE_NOT_FINITE);
        clear_object(&obj);
    }
    // A scale of 0 collapses the mesh onto its position; that is still a map.
    obj = object_from(make_box_object("b", Vec3{1, 1, 1}, false));
    EXPECT_EQ(place_object(&obj, 1, 2, 3, 0, 0, 0, 1, 0), PLACE_OK);
    EXPECT_EQ(obj.vertices[7].x, 1.0f);
    clear_object(&obj);
}
