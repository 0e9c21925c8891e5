// The viewer's orbit camera and the mouse arithmetic behind it, free of GL so
// tests can drive it. The GLUT callbacks that feed it live in camera.cpp.
//
// The camera is an explicit basis: side S, up U and forward F (from the eye
// towards the target), S x U = F. Eye space has x along S, y along U and
// looks along +z; the view matrix has S, U, F as its first three rows.
#pragma once

#include "vec3.h"

// Mouse buttons as GLUT numbers them; a GLUT that reports the wheel gives it
// as buttons 3 (away from the user) and 4 (towards the user).
const int MOUSE_LEFT = 0;
const int MOUSE_MIDDLE = 1;
const int MOUSE_RIGHT = 2;
const int MOUSE_WHEEL_UP = 3;
const int MOUSE_WHEEL_DOWN = 4;
const int MOUSE_PRESSED = 0;   // GLUT_DOWN
const int MOUSE_RELEASED = 1;  // GLUT_UP

// Vertical turn limit of a drag (radians, either way) and the turn per field
// unit of mouse travel.
const float CAMERA_PITCH_LIMIT = 1.5f;
const double CAMERA_TURN_PER_UNIT = 0.1;
// Field of view and near plane of every projection; start-up uses far 100,
// every reshape at least far 200 (see camera_far_plane).
const float CAMERA_FOVY = 1.3f;
const float CAMERA_NEAR = 0.5f;
const float CAMERA_FAR_START = 100.0f;
const float CAMERA_FAR = 200.0f;
// Wheel zoom: a notch in moves the eye a tenth of its distance closer to
// the target, a notch out undoes one notch in (the distance divided by 0.9),
// and the distance stays between CAMERA_MIN_DISTANCE and the camera's
// max_distance (CAMERA_MAX_DISTANCE until camera_set_field says otherwise).
const double CAMERA_ZOOM_STEP = 0.1;
const double CAMERA_MIN_DISTANCE = 0.5;
const double CAMERA_MAX_DISTANCE = 10000.0;
// The farthest zoom, in diagonals of the field: the box is small then but
// still plainly visible.
const double CAMERA_MAX_DIAGONALS = 20.0;

struct Camera {
    Mat4 view_matrix;        // world to eye, rebuilt after every camera change
    Mat4 projection_matrix;  // eye to clip, rebuilt at start-up and on reshape
    Vec3 eye;                // eye position (field units)
    Vec3 target;             // the point the eye orbits and looks at
    Vec3 side;               // S, unit
    Vec3 up;                 // U, unit
    Vec3 forward;            // F, unit, from the eye towards the target
    float pitch_total;       // pitch applied since the last look-at (radians)
    float yaw_total;         // yaw applied since the last look-at (radians)
    int button_down[3];      // 1 while GLUT button 0 (left), 1 (middle), 2 (right) is held
    float last_mouse_x;      // last mouse position in field units
    float last_mouse_y;
    float max_distance;      // farthest the wheel takes the eye from the target
    float field_size;        // side of the field the camera looks at (0: unknown)
    bool fitted;             // as camera_fit_field left it: no turn or zoom since
};

// Both matrices identity, eye and target at the origin, S, U, F the x, y and
// z axes, totals 0, no button held, last position (0, 0).
void camera_reset(Camera* cam);

// Matrix helpers (column-major, row i column j at 4*j + i).
// Rotation by angle about the world y axis.
Mat4 mat4_rotation_y(float angle);
// Rotation by angle about the unit axis a.
Mat4 mat4_rotation_axis(Vec3 a, float angle);
// Identity with the translation v in elements 12, 13, 14.
Mat4 mat4_translation(Vec3 v);

// Perspective for an eye looking along +z: clip w is eye z, depth runs from
// 0 at `near_dist` to 1 at `far_dist`.
void set_projection(Mat4* projection, float fovy, float aspect, float near_dist, float far_dist);
// Aspect ratio of a window; a height below 1 counts as 1.
float window_aspect(int width, int height);
// Sets the field the camera looks at: the zoom stops at
// CAMERA_MAX_DIAGONALS diagonals of it.
void camera_set_field(Camera* cam, float field_size);
// Far distance that keeps the whole field box (0 to field_size + 1 on each
// axis) in front of the far plane from wherever the eye is: at least
// CAMERA_FAR, more once the eye is far enough out for the box to reach past
// it.
float camera_far_plane(const Camera* cam);

// Fits the view to a field of `field_size` in a window of `aspect`: looks
// at the field's centre from outside its z < 0 side, n/1.4 before the field
// (n = field_size) in a window at least as wide as tall, farther by
// 1/aspect in a taller one, so that the field spans the narrower side of
// the window alike. Sets the field (camera_set_field) and `fitted`.
void camera_fit_field(Camera* cam, float field_size, float aspect);

// Rows S, U, F with translations -(S.eye), -(U.eye), -(F.eye).
void build_view_matrix(Camera* cam);
// Looks from eye at target with the given up hint; zeroes the totals.
void camera_look_at(Camera* cam, Vec3 target, Vec3 eye, Vec3 up);
// Limits a turn so that |total + angle| does not pass `limit` (limit > 0;
// limit 0 or below means no limit). Returns the angle to apply.
float limit_turn(float total, float angle, float limit);
// Turn the eye around the target: yaw about the world y axis, pitch about
// the side axis. Neither rebuilds the view matrix.
void camera_yaw(Camera* cam, float angle, float limit);
void camera_pitch(Camera* cam, float angle, float limit);
// Re-normalises F and rebuilds U and S from it, then the view matrix.
void camera_orthonormalise(Camera* cam);
// Turns the camera as a drag of (dx, dy) field units does: pitch (limited)
// by -dy, then yaw by dx, 0.1 radian per unit, then the repair.
void camera_orbit(Camera* cam, float dx, float dy);
// Moves the eye along F towards the target (notches > 0) or away from it
// (notches < 0) by a tenth of its distance per notch, never through the
// target; turn totals stay. Returns true when the eye moved.
bool camera_zoom(Camera* cam, int notches);

// Moves the eye to its distance from the target divided by `factor` (> 1
// closer), kept within the wheel's limits.
void camera_zoom_factor(Camera* cam, double factor);

// Mouse position in pixels to field units: x' = n*x/width and
// y' = n*(height - y)/height, so y' grows upwards and the window spans n
// units each way. A size below 1 counts as 1.
void mouse_to_field(float field_size, int x, int y, int width, int height, float* fx, float* fy);

// What a mouse button event asks of the rest of the viewer.
enum MouseAction {
    MOUSE_ACTION_NONE,
    MOUSE_ACTION_LIFT_GRAVITY,   // middle button pressed: gravity off while held
    MOUSE_ACTION_FLIP_GRAVITY,   // middle button released: reverse and restore gravity
    MOUSE_ACTION_VIEW_CHANGED    // the wheel moved the eye: reload the view matrix
};
// A GLUT mouse event at (fx, fy) in field units: remembers the position,
// tracks buttons 0..2 and zooms on a wheel notch. Other buttons and states
// change only the last position.
MouseAction camera_mouse_button(Camera* cam, int button, int state, float fx, float fy);
// A GLUT motion event at (fx, fy) in field units: with the left or the right
// button held, pitch (limited) then yaw by the travel since the last event,
// then the repair. Returns true when the view matrix changed.
bool camera_mouse_drag(Camera* cam, float fx, float fy);

