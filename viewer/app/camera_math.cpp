#include "camera_math.h"

#include <cmath>

// Each component divided by the length, in double; a zero vector gives
// not-a-number components.
static Vec3 normalise(Vec3 v)
{
    double len = std::sqrt((double)v.x * v.x + (double)v.y * v.y + (double)v.z * v.z);
    return Vec3{(float)(v.x / len), (float)(v.y / len), (float)(v.z / len)};
}

static double dot(Vec3 a, Vec3 b)
{
    return (double)a.x * b.x + (double)a.y * b.y + (double)a.z * b.z;
}

static Vec3 cross(Vec3 a, Vec3 b)
{
    return Vec3{(float)((double)a.y * b.z - (double)a.z * b.y),
                (float)((double)a.z * b.x - (double)a.x * b.z),
                (float)((double)a.x * b.y - (double)a.y * b.x)};
}

void camera_reset(Camera* cam)
{
    cam->view_matrix = mat4_identity();
    cam->projection_matrix = mat4_identity();
    cam->eye = Vec3{0.0f, 0.0f, 0.0f};
    cam->target = Vec3{0.0f, 0.0f, 0.0f};
    cam->side = Vec3{1.0f, 0.0f, 0.0f};
    cam->up = Vec3{0.0f, 1.0f, 0.0f};
    cam->forward = Vec3{0.0f, 0.0f, 1.0f};
    cam->pitch_total = 0.0f;
    cam->yaw_total = 0.0f;
    for (int& down : cam->button_down)
        down = 0;
    cam->last_mouse_x = 0.0f;
    cam->last_mouse_y = 0.0f;
    cam->max_distance = (float)CAMERA_MAX_DISTANCE;
    cam->field_size = 0.0f;
    cam->fitted = false;
}

Mat4 mat4_rotation_y(float angle)
{
    Mat4 m = mat4_identity();
    double cs = std::cos((double)angle), sn = std::sin((double)angle);
    m.m[0] = (float)cs;
    m.m[2] = (float)-sn;
    m.m[8] = (float)sn;
    m.m[10] = (float)cs;
    return m;
}

Mat4 mat4_rotation_axis(Vec3 a, float angle)
{
    Mat4 m = mat4_identity();
    double cs = std::cos((double)angle), sn = std::sin((double)angle), t = 1.0 - cs;
    double x = a.x, y = a.y, z = a.z;
    m.m[0] = (float)(cs + t * x * x);
    m.m[1] = (float)(t * x * y + sn * z);
    m.m[2] = (float)(t * x * z - sn * y);
    m.m[4] = (float)(t * x * y - sn * z);
    m.m[5] = (float)(cs + t * y * y);
    m.m[6] = (float)(t * y * z + sn * x);
    m.m[8] = (float)(t * x * z + sn * y);
    m.m[9] = (float)(t * y * z - sn * x);
    m.m[10] = (float)(cs + t * z * z);
    return m;
}

Mat4 mat4_translation(Vec3 v)
{
    Mat4 m = mat4_identity();
    m.m[12] = v.x;
    m.m[13] = v.y;
    m.m[14] = v.z;
    return m;
}

void set_projection(Mat4* projection, float fovy, float aspect, float near_dist, float far_dist)
{
    *projection = mat4_identity();
    float k = (float)(1.0 / std::tan((double)fovy * 0.5));
    float* p = projection->m;
    double depth = (double)far_dist - (double)near_dist;
    p[0] = (float)((double)k / (double)aspect);
    p[5] = k;
    p[10] = (float)((double)far_dist / depth);
    p[11] = 1.0f;
    p[14] = (float)(-(double)far_dist * (double)near_dist / depth);
    p[15] = 0.0f;
}

float window_aspect(int width, int height)
{
    // A window shrunk to no height still gets a finite projection.
    return (float)width / (float)(height < 1 ? 1 : height);
}

void camera_set_field(Camera* cam, float field_size)
{
    cam->field_size = field_size;
    double limit = CAMERA_MAX_DIAGONALS * std::sqrt(3.0) * (double)field_size;
    cam->max_distance = (float)(limit > CAMERA_MIN_DISTANCE ? limit : CAMERA_MAX_DISTANCE);
}

float camera_far_plane(const Camera* cam)
{
    // Every point of the box lies within its corner-to-target distance of
    // the target, and the target lies inside the box: that much past the
    // eye's distance, plus a little for rounding, is behind all of it.
    double side = (double)cam->field_size + 1.0;
    double reach = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        double t = axis == 0 ? cam->target.x : axis == 1 ? cam->target.y : cam->target.z;
        double span = std::fmax(std::fabs(t), std::fabs(side - t));
        reach += span * span;
    }
    Vec3 offset = vec3_sub(cam->eye, cam->target);
    double needed = (std::sqrt(dot(offset, offset)) + std::sqrt(reach)) * 1.01 + 1.0;
    return needed > (double)CAMERA_FAR ? (float)needed : CAMERA_FAR;
}

void build_view_matrix(Camera* cam)
{
    float* v = cam->view_matrix.m;
    cam->view_matrix = mat4_identity();
    const Vec3 s = cam->side, u = cam->up, f = cam->forward;
    v[0] = s.x; v[4] = s.y; v[8] = s.z;
    v[1] = u.x; v[5] = u.y; v[9] = u.z;
    v[2] = f.x; v[6] = f.y; v[10] = f.z;
    v[12] = (float)-dot(s, cam->eye);
    v[13] = (float)-dot(u, cam->eye);
    v[14] = (float)-dot(f, cam->eye);
}

void camera_look_at(Camera* cam, Vec3 target, Vec3 eye, Vec3 up)
{
    cam->target = target;
    cam->eye = eye;
    cam->forward = normalise(vec3_sub(target, eye));
    cam->side = normalise(cross(up, cam->forward));
    cam->up = cross(cam->forward, cam->side);  // unit already
    cam->pitch_total = 0.0f;
    cam->yaw_total = 0.0f;
    build_view_matrix(cam);
}

void camera_fit_field(Camera* cam, float field_size, float aspect)
{
    float n = field_size;
    float h = (float)(n * 0.5);
    // In a wide window the field spans the height; a tall one must step
    // back until it spans the width.
    float eye_z = aspect >= 1.0f || !(aspect > 0.0f) ? (float)(-n / 1.4) : (float)(-n / 1.4 / (double)aspect);
    camera_set_field(cam, n);
    camera_look_at(cam, Vec3{h, h, h}, Vec3{h, h, eye_z}, Vec3{0.0f, n, 0.0f});
    cam->fitted = true;
}

float limit_turn(float total, float angle, float limit)
{
    if (limit > 0.0f) {
        float s = std::fabs(total + angle);
        if (s > limit) {
            float room = limit - std::fabs(total);
            angle = angle > 0.0f ? room : -room;
        }
    }
    return angle;
}

// Turns the eye around the target by the rotation r.
static void orbit_eye(Camera* cam, const Mat4* r)
{
    Mat4 m = mat4_identity();
    Mat4 to_origin = mat4_translation(Vec3{-cam->target.x, -cam->target.y, -cam->target.z});
    Mat4 back = mat4_translation(cam->target);
    mat4_premultiply(&m, &to_origin);
    mat4_premultiply(&m, r);
    mat4_premultiply(&m, &back);
    cam->eye = mat4_transform_point(&m, cam->eye);
}

void camera_yaw(Camera* cam, float angle, float limit)
{
    angle = limit_turn(cam->yaw_total, angle, limit);
    Mat4 r = mat4_rotation_y(angle);
    orbit_eye(cam, &r);
    // U is left to the repair step.
    cam->side = mat4_transform_point(&r, cam->side);
    cam->forward = mat4_transform_point(&r, cam->forward);
    cam->yaw_total += angle;
    cam->fitted = false;
}

void camera_pitch(Camera* cam, float angle, float limit)
{
    angle = limit_turn(cam->pitch_total, angle, limit);
    Mat4 r = mat4_rotation_axis(cam->side, angle);
    orbit_eye(cam, &r);
    // S is the axis of the turn and stays.
    cam->up = mat4_transform_point(&r, cam->up);
    cam->forward = mat4_transform_point(&r, cam->forward);
    cam->pitch_total += angle;
    cam->fitted = false;
}

void camera_orthonormalise(Camera* cam)
{
    cam->forward = normalise(cam->forward);
    cam->up = normalise(cross(cam->forward, cam->side));
    cam->side = normalise(cross(cam->up, cam->forward));
    build_view_matrix(cam);
}

// Moves the eye `step` along F (towards the target when positive) and
// rebuilds the view matrix.
static void move_eye_along_forward(Camera* cam, double step)
{
    const Vec3 f = cam->forward;
    cam->eye = Vec3{(float)(cam->eye.x + f.x * step), (float)(cam->eye.y + f.y * step),
                    (float)(cam->eye.z + f.z * step)};
    build_view_matrix(cam);
}

bool camera_zoom(Camera* cam, int notches)
{
    Vec3 offset = vec3_sub(cam->eye, cam->target);
    double dist = std::sqrt(dot(offset, offset));
    if (!(dist > 0.0) || notches == 0)
        return false;
    // Closing in never reaches the target, backing off never runs away. A
    // camera at a bound (up to the float rounding of the eye) stays put.
    if (notches > 0 && dist <= CAMERA_MIN_DISTANCE * 1.01)
        return false;
    if (notches < 0 && dist >= (double)cam->max_distance * 0.99)
        return false;
    double wanted = dist;
    for (int i = 0; i < notches; ++i)
        wanted *= 1.0 - CAMERA_ZOOM_STEP;
    for (int i = 0; i > notches; --i)
        wanted /= 1.0 - CAMERA_ZOOM_STEP;
    if (wanted < CAMERA_MIN_DISTANCE)
        wanted = CAMERA_MIN_DISTANCE;
    if (wanted > (double)cam->max_distance)
        wanted = cam->max_distance;
    move_eye_along_forward(cam, dist - wanted);
    cam->fitted = false;
    return true;
}

void camera_zoom_factor(Camera* cam, double factor)
{
    Vec3 offset = vec3_sub(cam->eye, cam->target);
    double dist = std::sqrt(dot(offset, offset));
    if (!(dist > 0.0) || !(factor > 0.0))
        return;
    double wanted = std::fmin(std::fmax(dist / factor, CAMERA_MIN_DISTANCE), (double)cam->max_distance);
    move_eye_along_forward(cam, dist - wanted);
    cam->fitted = false;
}

void mouse_to_field(float field_size, int x, int y, int width, int height, float* fx, float* fy)
{
    double w = width < 1 ? 1 : width, h = height < 1 ? 1 : height;
    *fx = (float)((double)field_size * x / w);
    *fy = (float)((double)field_size * (h - y) / h);
}

MouseAction camera_mouse_button(Camera* cam, int button, int state, float fx, float fy)
{
    cam->last_mouse_x = fx;
    cam->last_mouse_y = fy;
    if (button >= MOUSE_LEFT && button <= MOUSE_RIGHT) {
        if (state == MOUSE_PRESSED) {
            cam->button_down[button] = 1;
            if (button == MOUSE_MIDDLE)
                return MOUSE_ACTION_LIFT_GRAVITY;
        } else if (state == MOUSE_RELEASED) {
            cam->button_down[button] = 0;
            if (button == MOUSE_MIDDLE)
                return MOUSE_ACTION_FLIP_GRAVITY;
        }
        return MOUSE_ACTION_NONE;
    }
    // A wheel notch arrives as a press and a release; the press zooms.
    if (state == MOUSE_PRESSED && (button == MOUSE_WHEEL_UP || button == MOUSE_WHEEL_DOWN)) {
        if (camera_zoom(cam, button == MOUSE_WHEEL_UP ? 1 : -1))
            return MOUSE_ACTION_VIEW_CHANGED;
    }
    return MOUSE_ACTION_NONE;
}

void camera_orbit(Camera* cam, float dx, float dy)
{
    float pitch = (float)((double)-dy * CAMERA_TURN_PER_UNIT);
    float yaw = (float)((double)dx * CAMERA_TURN_PER_UNIT);
    camera_pitch(cam, pitch, CAMERA_PITCH_LIMIT);
    camera_yaw(cam, yaw, 0.0f);
    camera_orthonormalise(cam);
}

bool camera_mouse_drag(Camera* cam, float fx, float fy)
{
    bool turning = cam->button_down[MOUSE_LEFT] || cam->button_down[MOUSE_RIGHT];
    if (turning)
        camera_orbit(cam, fx - cam->last_mouse_x, fy - cam->last_mouse_y);
    cam->last_mouse_x = fx;
    cam->last_mouse_y = fy;
    return turning;
}
