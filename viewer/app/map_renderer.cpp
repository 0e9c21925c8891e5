// The static scene behind the balls: the field's outline and the map's
// meshes as white wireframe; and, in the field view, the collision cells.
#include "map_format.h"
#include "render.h"
#include "render_math.h"
#include "sim_frame.h"

void draw_field_box(int side)
{
    float s = (float)side;
    // Polygons stay in line mode for the rest of the run.
    glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    glColor3f(1.0f, 1.0f, 1.0f);
    glBegin(GL_QUADS);
    // x = 0
    glVertex3f(0, 0, 0); glVertex3f(0, 0, s); glVertex3f(0, s, s); glVertex3f(0, s, 0);
    // y = 0
    glVertex3f(0, 0, 0); glVertex3f(0, 0, s); glVertex3f(s, 0, s); glVertex3f(s, 0, 0);
    // z = 0
    glVertex3f(0, 0, 0); glVertex3f(0, s, 0); glVertex3f(s, s, 0); glVertex3f(s, 0, 0);
    // x = s
    glVertex3f(s, s, s); glVertex3f(s, s, 0); glVertex3f(s, 0, 0); glVertex3f(s, 0, s);
    // y = s
    glVertex3f(s, s, s); glVertex3f(s, s, 0); glVertex3f(0, s, 0); glVertex3f(0, s, s);
    // z = s
    glVertex3f(s, s, s); glVertex3f(s, 0, s); glVertex3f(0, 0, s); glVertex3f(0, s, s);
    glEnd();
}

void push_camera_matrices(const float* view, const float* projection)
{
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadMatrixf(view);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadMatrixf(projection);
}

void pop_camera_matrices()
{
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

void draw_map_objects(const LoadedMap* map, const float* view, const float* projection)
{
    glPushAttrib(GL_ENABLE_BIT);
    push_camera_matrices(view, projection);
    glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_DEPTH_TEST);
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnableClientState(GL_VERTEX_ARRAY);
    static_assert(sizeof(MapFace) == 12, "faces are drawn as packed index triples");
    for (uint32_t i = 0; i < map->object_count; ++i) {
        const MapObject* obj = &map->objects[i];
        glVertexPointer(3, GL_FLOAT, 0, obj->vertices);
        glDrawElements(GL_TRIANGLES, (GLsizei)(3 * obj->face_count), GL_UNSIGNED_INT, obj->faces);
    }
    glDisableClientState(GL_VERTEX_ARRAY);
    pop_camera_matrices();
    glPopAttrib();
}

// Corners of a box's units in field coordinates: units min .. max span
// [min, max + 1] on each axis.
static void layer_box_corners(const LayerBox* box, float lo[3], float hi[3])
{
    for (int k = 0; k < 3; ++k) {
        int min, max;
        layer_box_units(box, k, &min, &max);
        lo[k] = (float)min;
        hi[k] = (float)max + 1.0f;
    }
}

// The twelve edges of a box as lines.
static void draw_wire_box(const LayerBox* box)
{
    float lo[3], hi[3];
    layer_box_corners(box, lo, hi);
    glBegin(GL_LINES);
    for (int axis = 0; axis < 3; ++axis) {
        int u = (axis + 1) % 3, v = (axis + 2) % 3;
        for (int corner = 0; corner < 4; ++corner) {
            float p[3];
            p[u] = (corner & 1) ? hi[u] : lo[u];
            p[v] = (corner & 2) ? hi[v] : lo[v];
            p[axis] = lo[axis];
            glVertex3fv(p);
            p[axis] = hi[axis];
            glVertex3fv(p);
        }
    }
    glEnd();
}

static void box_centre(const LayerBox* box, float c[3])
{
    float lo[3], hi[3];
    layer_box_corners(box, lo, hi);
    for (int k = 0; k < 3; ++k)
        c[k] = (lo[k] + hi[k]) * 0.5f;
}

void draw_layers_overlay(const MapLayers* layers, const float* view, const float* projection)
{
    glPushAttrib(GL_ENABLE_BIT | GL_LINE_BIT | GL_CURRENT_BIT);
    push_camera_matrices(view, projection);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_TEXTURE_2D);
    glLineWidth(2.0f);
    if (layers->has_start) {
        glColor3f(0.0f, 1.0f, 0.0f);
        draw_wire_box(&layers->start);
    }
    for (int t = 0; t < layers->teleport_count; ++t) {
        const Teleport* tp = &layers->teleports[t];
        glLineWidth(2.0f);
        glColor3f(0.0f, 0.0f, 1.0f);
        draw_wire_box(&tp->from);
        glColor3f(1.0f, 0.5f, 0.0f);
        draw_wire_box(&tp->to);
        float a[3], b[3];
        box_centre(&tp->from, a);
        box_centre(&tp->to, b);
        glLineWidth(1.0f);
        glColor3f(0.7f, 0.7f, 0.7f);
        glBegin(GL_LINES);
        glVertex3fv(a);
        glVertex3fv(b);
        glEnd();
    }
    pop_camera_matrices();
    glPopAttrib();
}

void draw_field_cells(const MapHeader* header)
{
    for (const Vec3& p : collect_field_points(header)) {
        glBegin(GL_POINTS);
        glVertex3f(p.x, p.y, p.z);
        glEnd();
    }
}

void draw_field_points(const std::vector<Vec3>& points)
{
    if (points.empty())
        return;
    glPushAttrib(GL_ENABLE_BIT);
    glDisable(GL_DEPTH_TEST);
    glPointSize(1.0f);
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, points.data());
    glDrawArrays(GL_POINTS, 0, (GLsizei)points.size());
    glDisableClientState(GL_VERTEX_ARRAY);
    glPopAttrib();
}
