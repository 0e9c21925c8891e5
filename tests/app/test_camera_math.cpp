// The orbit camera and the mouse arithmetic, with the viewer's own numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "camera_math.h"

namespace {

// The camera as start-up aims it at a field of size n.
Camera start_camera(float n)
{
    Camera cam;
    camera_reset(&cam);
    float h = (float)(n * 0.5);
    camera_look_at(&cam, Vec3{h, h, h}, Vec3{h, h, (float)(-n / 1.4)}, Vec3{0.0f, n, 0.0f});
    return cam;
}

double distance(Vec3 a, Vec3 b)
{
    double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// S, U, F unit, pairwise orthogonal and S x U = F; F points at the target;
// the view matrix puts the target straight ahead at its distance.
void expect_sound_camera(const Camera& cam)
{
    const Vec3 s = cam.side, u = cam.up, f = cam.forward;
    EXPECT_NEAR(vec3_length(s), 1.0, 1e-5);
    EXPECT_NEAR(vec3_length(u), 1.0, 1e-5);
    EXPECT_NEAR(vec3_length(f), 1.0, 1e-5);
    EXPECT_NEAR(vec3_dot(s, u), 0.0, 1e-5);
    EXPECT_NEAR(vec3_dot(u, f), 0.0, 1e-5);
    EXPECT_NEAR(vec3_dot(s, f), 0.0, 1e-5);
    Vec3 sxu = vec3_cross(s, u);
    EXPECT_NEAR(sxu.x, f.x, 1e-5);
    EXPECT_NEAR(sxu.y, f.y, 1e-5);
    EXPECT_NEAR(sxu.z, f.z, 1e-5);
    double d = distance(cam.eye, cam.target);
    Vec3 ahead = mat4_transform_point(&cam.view_matrix, cam.target);
    EXPECT_NEAR(ahead.x, 0.0, 1e-3 * d);
    EXPECT_NEAR(ahead.y, 0.0, 1e-3 * d);
    EXPECT_NEAR(ahead.z, d, 1e-3 * d);
}

void press(Camera* cam, int button, float fx, float fy)
{
    camera_mouse_button(cam, button, MOUSE_PRESSED, fx, fy);
}

}  // namespace

TEST(Camera, ResetStateIsIdentityAndAxes)
{
    Camera cam;
    std::memset(&cam, 0x5a, sizeof cam);
    camera_reset(&cam);
    Mat4 id = mat4_identity();
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(cam.view_matrix.m[i], id.m[i]);
        EXPECT_EQ(cam.projection_matrix.m[i], id.m[i]);
    }
    EXPECT_EQ(cam.side.x, 1.0f);
    EXPECT_EQ(cam.up.y, 1.0f);
    EXPECT_EQ(cam.forward.z, 1.0f);
    EXPECT_EQ(cam.button_down[0] + cam.button_down[1] + cam.button_down[2], 0);
    EXPECT_EQ(cam.pitch_total, 0.0f);
    EXPECT_EQ(cam.yaw_total, 0.0f);
    EXPECT_EQ(cam.last_mouse_x, 0.0f);
    EXPECT_EQ(cam.last_mouse_y, 0.0f);
}

TEST(Camera, StartUpLookAtForFieldSize64)
{
    Camera cam = start_camera(64.0f);
    EXPECT_EQ(cam.eye.x, 32.0f);
    EXPECT_EQ(cam.eye.y, 32.0f);
    EXPECT_FLOAT_EQ(cam.eye.z, -45.714287f);
    EXPECT_EQ(cam.target.z, 32.0f);
    const float expected[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -32.0f, -32.0f, 45.714287f, 1};
    for (int i = 0; i < 16; ++i)
        EXPECT_FLOAT_EQ(cam.view_matrix.m[i], expected[i]) << "element " << i;
    EXPECT_EQ(cam.side.x, 1.0f);
    EXPECT_EQ(cam.up.y, 1.0f);
    EXPECT_EQ(cam.forward.z, 1.0f);
}

TEST(Camera, ProjectionFor800By600AfterReshape)
{
    Mat4 p;
    set_projection(&p, CAMERA_FOVY, window_aspect(800, 600), CAMERA_NEAR, CAMERA_FAR);
    EXPECT_NEAR(p.m[0], 0.986577, 1e-6);
    EXPECT_NEAR(p.m[5], 1.315436, 1e-6);
    EXPECT_NEAR(p.m[10], 1.002506, 1e-6);
    EXPECT_EQ(p.m[11], 1.0f);
    EXPECT_NEAR(p.m[14], -0.501253, 1e-6);
    for (int i : {1, 2, 3, 4, 6, 7, 8, 9, 12, 13, 15})
        EXPECT_EQ(p.m[i], 0.0f) << "element " << i;
    // The start-up projection differs only in its depth range (far 100).
    Mat4 q;
    set_projection(&q, CAMERA_FOVY, window_aspect(800, 600), CAMERA_NEAR, CAMERA_FAR_START);
    EXPECT_EQ(q.m[0], p.m[0]);
    EXPECT_NEAR(q.m[10], 100.0 / 99.5, 1e-6);
    EXPECT_NEAR(q.m[14], -50.0 / 99.5, 1e-6);
}

TEST(Camera, ZeroHeightWindowKeepsAFiniteProjection)
{
    Mat4 p;
    set_projection(&p, CAMERA_FOVY, window_aspect(800, 0), CAMERA_NEAR, CAMERA_FAR);
    for (float v : p.m)
        EXPECT_TRUE(std::isfinite(v));
    float fx, fy;
    mouse_to_field(64.0f, 10, 0, 0, 0, &fx, &fy);
    EXPECT_TRUE(std::isfinite(fx) && std::isfinite(fy));
}

TEST(Camera, TurnLimitStopsAtTheLimitFromEitherSide)
{
    EXPECT_NEAR(limit_turn(1.4f, 0.3f, 1.5f), 0.1f, 1e-6);
    EXPECT_NEAR(limit_turn(1.4f, -3.0f, 1.5f), -0.1f, 1e-6);
    EXPECT_EQ(limit_turn(1.4f, -0.2f, 1.5f), -0.2f);   // within the limit
    EXPECT_EQ(limit_turn(-1.4f, -0.3f, 1.5f), limit_turn(1.4f, 0.3f, 1.5f) * -1.0f);
    EXPECT_EQ(limit_turn(100.0f, 7.0f, 0.0f), 7.0f);   // limit 0: none

    Camera cam = start_camera(64.0f);
    cam.pitch_total = 1.4f;
    camera_pitch(&cam, 0.3f, 1.5f);
    EXPECT_NEAR(cam.pitch_total, 1.5f, 1e-6);
    camera_pitch(&cam, 0.3f, 1.5f);                    // at the limit: no further
    EXPECT_NEAR(cam.pitch_total, 1.5f, 1e-6);
    cam.pitch_total = 1.4f;
    camera_pitch(&cam, -3.0f, 1.5f);
    EXPECT_NEAR(cam.pitch_total, 1.3f, 1e-6);
}

TEST(Camera, YawOrbitsWithoutLimit)
{
    Camera cam = start_camera(64.0f);
    double d0 = distance(cam.eye, cam.target);
    // A quarter turn carries the eye from the z < 0 side to the x < 0 side.
    camera_yaw(&cam, (float)(M_PI / 2), 0.0f);
    camera_orthonormalise(&cam);
    EXPECT_NEAR(cam.eye.x, 32.0 - d0, 1e-3);
    EXPECT_NEAR(cam.eye.y, 32.0, 1e-4);
    EXPECT_NEAR(cam.eye.z, 32.0, 1e-3);
    EXPECT_NEAR(cam.forward.x, 1.0, 1e-6);
    expect_sound_camera(cam);
    for (int i = 0; i < 40; ++i) {
        camera_yaw(&cam, 1.0f, 0.0f);
        camera_orthonormalise(&cam);
    }
    EXPECT_NEAR(cam.yaw_total, M_PI / 2 + 40.0, 1e-4);
    EXPECT_NEAR(distance(cam.eye, cam.target), d0, 1e-3);
    EXPECT_EQ(cam.pitch_total, 0.0f);
    expect_sound_camera(cam);
}

TEST(Camera, PitchTurnsAboutTheSideAxis)
{
    Camera cam = start_camera(64.0f);
    double d0 = distance(cam.eye, cam.target);
    camera_pitch(&cam, -0.5f, CAMERA_PITCH_LIMIT);
    camera_orthonormalise(&cam);
    // Negative pitch lowers the eye below the target; S does not move.
    EXPECT_NEAR(cam.eye.y, 32.0 - d0 * std::sin(0.5), 1e-3);
    EXPECT_NEAR(cam.eye.z, 32.0 - d0 * std::cos(0.5), 1e-3);
    EXPECT_EQ(cam.eye.x, 32.0f);
    EXPECT_NEAR(cam.side.x, 1.0, 1e-6);
    expect_sound_camera(cam);
}

TEST(Mouse, PositionsInFieldUnits)
{
    float fx, fy;
    mouse_to_field(64.0f, 0, 600, 800, 600, &fx, &fy);
    EXPECT_EQ(fx, 0.0f);
    EXPECT_EQ(fy, 0.0f);
    mouse_to_field(64.0f, 800, 0, 800, 600, &fx, &fy);
    EXPECT_EQ(fx, 64.0f);
    EXPECT_EQ(fy, 64.0f);
    mouse_to_field(64.0f, 400, 150, 800, 600, &fx, &fy);
    EXPECT_EQ(fx, 32.0f);
    EXPECT_EQ(fy, 48.0f);
}

TEST(Mouse, DragTurnsPitchBeforeYawWithTheRightSigns)
{
    Camera cam = start_camera(64.0f);
    press(&cam, MOUSE_LEFT, 10.0f, 10.0f);
    EXPECT_EQ(cam.button_down[MOUSE_LEFT], 1);
    // Up by 2 units and right by 3: pitch -0.2, yaw +0.3.
    EXPECT_TRUE(camera_mouse_drag(&cam, 13.0f, 12.0f));
    EXPECT_NEAR(cam.pitch_total, -0.2f, 1e-6);
    EXPECT_NEAR(cam.yaw_total, 0.3f, 1e-6);
    EXPECT_EQ(cam.last_mouse_x, 13.0f);
    EXPECT_EQ(cam.last_mouse_y, 12.0f);
    expect_sound_camera(cam);

    // Pitch first, about the side axis of the unturned camera, then yaw
    // about world y, then the repair: the same bits.
    Camera ref = start_camera(64.0f);
    camera_pitch(&ref, -0.2f, 1.5f);
    camera_yaw(&ref, 0.3f, 0.0f);
    camera_orthonormalise(&ref);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(cam.view_matrix.m[i], ref.view_matrix.m[i]);
}

TEST(Mouse, LongUpwardDragStopsAtThePitchLimit)
{
    Camera cam = start_camera(64.0f);
    double d0 = distance(cam.eye, cam.target);
    press(&cam, MOUSE_RIGHT, 32.0f, 0.0f);
    for (int i = 1; i <= 60; ++i)
        camera_mouse_drag(&cam, 32.0f, (float)i);  // 60 units up: 6 radians asked
    EXPECT_NEAR(cam.pitch_total, -1.5f, 1e-5);
    EXPECT_EQ(cam.yaw_total, 0.0f);
    EXPECT_NEAR(distance(cam.eye, cam.target), d0, 1e-3);
    // The eye sits 1.5 rad below the horizontal through the target.
    EXPECT_NEAR(cam.eye.y, 32.0 - d0 * std::sin(1.5), 1e-2);
    expect_sound_camera(cam);
    // Back down turns again at once.
    camera_mouse_drag(&cam, 32.0f, 59.0f);
    EXPECT_NEAR(cam.pitch_total, -1.4f, 1e-5);
}

TEST(Mouse, MiddleButtonAloneTurnsNothingButLeftWithMiddleDoes)
{
    Camera cam = start_camera(64.0f);
    Mat4 before = cam.view_matrix;
    EXPECT_EQ(camera_mouse_button(&cam, MOUSE_MIDDLE, MOUSE_PRESSED, 1.0f, 1.0f),
              MOUSE_ACTION_LIFT_GRAVITY);
    EXPECT_FALSE(camera_mouse_drag(&cam, 5.0f, 9.0f));
    EXPECT_EQ(cam.last_mouse_x, 5.0f);
    EXPECT_EQ(cam.last_mouse_y, 9.0f);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(cam.view_matrix.m[i], before.m[i]);
    press(&cam, MOUSE_LEFT, 5.0f, 9.0f);
    EXPECT_TRUE(camera_mouse_drag(&cam, 6.0f, 9.0f));
    EXPECT_NEAR(cam.yaw_total, 0.1f, 1e-6);
    EXPECT_EQ(camera_mouse_button(&cam, MOUSE_MIDDLE, MOUSE_RELEASED, 6.0f, 9.0f),
              MOUSE_ACTION_FLIP_GRAVITY);
    EXPECT_EQ(cam.button_down[MOUSE_MIDDLE], 0);
    EXPECT_EQ(cam.button_down[MOUSE_LEFT], 1);
    camera_mouse_button(&cam, MOUSE_LEFT, MOUSE_RELEASED, 6.0f, 9.0f);
    EXPECT_FALSE(camera_mouse_drag(&cam, 16.0f, 9.0f));
}

TEST(Mouse, OtherButtonsAndStatesOnlyMoveTheLastPosition)
{
    Camera cam = start_camera(64.0f);
    Camera before = cam;
    for (int button : {5, 6, 7, 8, 100, -1}) {
        EXPECT_EQ(camera_mouse_button(&cam, button, MOUSE_PRESSED, 3.0f, 4.0f), MOUSE_ACTION_NONE);
        EXPECT_EQ(camera_mouse_button(&cam, button, MOUSE_RELEASED, 3.0f, 4.0f), MOUSE_ACTION_NONE);
    }
    EXPECT_EQ(camera_mouse_button(&cam, MOUSE_LEFT, 7, 3.0f, 4.0f), MOUSE_ACTION_NONE);
    EXPECT_EQ(cam.last_mouse_x, 3.0f);
    EXPECT_EQ(cam.last_mouse_y, 4.0f);
    cam.last_mouse_x = before.last_mouse_x;
    cam.last_mouse_y = before.last_mouse_y;
    EXPECT_EQ(std::memcmp(&cam, &before, sizeof cam), 0);
}

TEST(Mouse, WheelZoomsAlongTheForwardAxisAndNeverReachesTheTarget)
{
    Camera cam = start_camera(64.0f);
    press(&cam, MOUSE_LEFT, 0.0f, 0.0f);
    camera_mouse_drag(&cam, 4.0f, 3.0f);
    camera_mouse_button(&cam, MOUSE_LEFT, MOUSE_RELEASED, 4.0f, 3.0f);
    float pitch = cam.pitch_total, yaw = cam.yaw_total;
    Vec3 f = cam.forward;
    double d0 = distance(cam.eye, cam.target);

    EXPECT_EQ(camera_mouse_button(&cam, MOUSE_WHEEL_UP, MOUSE_PRESSED, 4.0f, 3.0f),
              MOUSE_ACTION_VIEW_CHANGED);
    EXPECT_EQ(camera_mouse_button(&cam, MOUSE_WHEEL_UP, MOUSE_RELEASED, 4.0f, 3.0f),
              MOUSE_ACTION_NONE);
    EXPECT_NEAR(distance(cam.eye, cam.target), 0.9 * d0, 1e-3);
    EXPECT_EQ(cam.forward.x, f.x);
    EXPECT_EQ(cam.pitch_total, pitch);
    EXPECT_EQ(cam.yaw_total, yaw);
    expect_sound_camera(cam);

    // A notch out undoes a notch in.
    camera_mouse_button(&cam, MOUSE_WHEEL_DOWN, MOUSE_PRESSED, 4.0f, 3.0f);
    EXPECT_NEAR(distance(cam.eye, cam.target), d0, 1e-4);

    for (int i = 0; i < 500; ++i)
        camera_zoom(&cam, 1);
    double close = distance(cam.eye, cam.target);
    EXPECT_GE(close, CAMERA_MIN_DISTANCE - 1e-4);
    EXPECT_LE(close, CAMERA_MIN_DISTANCE * 1.01);
    // Still in front of the target: it is ahead of the eye, not behind.
    Vec3 ahead = mat4_transform_point(&cam.view_matrix, cam.target);
    EXPECT_GT(ahead.z, 0.0f);
    EXPECT_FALSE(camera_zoom(&cam, 1));
    // Zooming out far stays finite, and the camera still turns around.
    for (int i = 0; i < 2000; ++i)
        camera_zoom(&cam, -1);
    double far = distance(cam.eye, cam.target);
    EXPECT_GE(far, CAMERA_MAX_DISTANCE * 0.99);
    EXPECT_LE(far, CAMERA_MAX_DISTANCE * 1.0001);
    camera_yaw(&cam, 0.5f, 0.0f);
    camera_orthonormalise(&cam);
    EXPECT_NEAR(distance(cam.eye, cam.target), far, far * 1e-5);
    expect_sound_camera(cam);
}

TEST(Mouse, TwiceAsWideWindowNeedsTwiceThePixelsForTheSameTurn)
{
    Camera narrow = start_camera(64.0f), wide = start_camera(64.0f);
    float fx, fy;
    mouse_to_field(64.0f, 100, 300, 800, 600, &fx, &fy);
    press(&narrow, MOUSE_LEFT, fx, fy);
    mouse_to_field(64.0f, 200, 300, 800, 600, &fx, &fy);
    camera_mouse_drag(&narrow, fx, fy);
    mouse_to_field(64.0f, 100, 300, 1600, 600, &fx, &fy);
    press(&wide, MOUSE_LEFT, fx, fy);
    mouse_to_field(64.0f, 300, 300, 1600, 600, &fx, &fy);
    camera_mouse_drag(&wide, fx, fy);
    EXPECT_NEAR(narrow.yaw_total, 0.8f, 1e-6);
    EXPECT_EQ(narrow.yaw_total, wide.yaw_total);
}

// From the start-up view of fields small and large, every notch out to the
// zoom limit and back keeps all eight corners of the box (0 to n + 1) in
// front of the far plane, and the limit stays at 20 field diagonals.
TEST(Mouse, FarPlaneKeepsTheWholeBoxAtEveryZoom)
{
    for (float n : {16.0f, 200.0f, 1000.0f}) {
        Camera cam = start_camera(n);
        camera_set_field(&cam, n);
        camera_yaw(&cam, 0.7f, 0.0f);
        camera_pitch(&cam, -0.4f, CAMERA_PITCH_LIMIT);
        camera_orthonormalise(&cam);
        double limit = 20.0 * std::sqrt(3.0) * n;
        double farthest = 0.0;
        for (int notch = 0; notch < 200; ++notch) {
            float far_dist = camera_far_plane(&cam);
            EXPECT_GE(far_dist, CAMERA_FAR);
            for (int corner = 0; corner < 8; ++corner) {
                float s = n + 1.0f;
                Vec3 c{corner & 1 ? s : 0.0f, corner & 2 ? s : 0.0f, corner & 4 ? s : 0.0f};
                EXPECT_LT(mat4_transform_point(&cam.view_matrix, c).z, far_dist)
                    << "field " << n << " notch " << notch << " corner " << corner;
            }
            farthest = std::fmax(farthest, distance(cam.eye, cam.target));
            camera_zoom(&cam, -1);
        }
        EXPECT_NEAR(farthest, limit, limit * 0.01) << "field " << n;
        EXPECT_LE(farthest, limit * 1.0001);
    }
    // Where the box is near enough, the far plane stays where it always was.
    Camera small = start_camera(16.0f);
    camera_set_field(&small, 16.0f);
    EXPECT_EQ(camera_far_plane(&small), CAMERA_FAR);
}

TEST(Camera, FittedViewHoldsTheFieldInTheNarrowerSideOfAnyWindow)
{
    for (float n : {16.0f, 200.0f}) {
        for (float aspect : {800.0f / 600.0f, 1.0f, 360.0f / 640.0f, 0.25f, 3.0f}) {
            Camera cam;
            camera_reset(&cam);
            camera_fit_field(&cam, n, aspect);
            EXPECT_TRUE(cam.fitted);
            EXPECT_EQ(cam.field_size, n);
            if (aspect >= 1.0f) {
                // A window at least as wide as tall keeps the start-up view.
                Camera start = start_camera(n);
                EXPECT_EQ(std::memcmp(cam.view_matrix.m, start.view_matrix.m, sizeof start.view_matrix.m), 0);
            }
            Mat4 p;
            set_projection(&p, CAMERA_FOVY, aspect, CAMERA_NEAR, camera_far_plane(&cam));
            double widest[2] = {0.0, 0.0};
            for (int corner = 0; corner < 8; ++corner) {
                Vec3 c{corner & 1 ? n : 0.0f, corner & 2 ? n : 0.0f, corner & 4 ? n : 0.0f};
                Vec3 e = mat4_transform_point(&cam.view_matrix, c);
                double x = (p.m[0] * e.x) / e.z, y = (p.m[5] * e.y) / e.z;
                double depth = (p.m[10] * e.z + p.m[14]) / e.z;
                EXPECT_LE(std::fabs(x), 1.0) << n << " " << aspect << " corner " << corner;
                EXPECT_LE(std::fabs(y), 1.0) << n << " " << aspect << " corner " << corner;
                EXPECT_LT(depth, 1.0) << n << " " << aspect << " corner " << corner;
                widest[0] = std::fmax(widest[0], std::fabs(x));
                widest[1] = std::fmax(widest[1], std::fabs(y));
            }
            // The field spans most of the narrower side, the same in every shape.
            EXPECT_NEAR(widest[aspect >= 1.0f ? 1 : 0], 0.921, 0.01) << n << " " << aspect;
        }
    }
    // A turn or a zoom leaves the fitted view; a new fit returns to it.
    Camera cam;
    camera_reset(&cam);
    camera_fit_field(&cam, 16.0f, 1.0f);
    camera_orbit(&cam, 1.0f, 0.0f);
    EXPECT_FALSE(cam.fitted);
    camera_fit_field(&cam, 16.0f, 1.0f);
    ASSERT_TRUE(camera_zoom(&cam, 1));
    EXPECT_FALSE(cam.fitted);
}
