// The static scene behind the balls: the field's outline and the map's
// meshes as white wireframe; and, in the field view, the collision cells.
#include "map_format.h"
#include "render.h"
#include "render_math.h"
#include "viewer_state.h"

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

void draw_map_objects(const float* view, const float* projection)
{
    glPushAttrib(GL_ENABLE_BIT);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadMatrixf(view);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadMatrixf(projection);
    glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_DEPTH_TEST);
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnableClientState(GL_VERTEX_ARRAY);
    static_assert(sizeof(MapFace) == 12, "faces are drawn as packed index triples");
    for (uint32_t i = 0; i < map_object_count; ++i) {
        const MapObject* obj = &map_objects[i];
        glVertexPointer(3, GL_FLOAT, 0, obj->vertices);
        glDrawElements(GL_TRIANGLES, (GLsizei)(3 * obj->face_count), GL_UNSIGNED_INT, obj->faces);
    }
    glDisableClientState(GL_VERTEX_ARRAY);
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glPopAttrib();
}

void draw_field_cells()
{
    for (const Vec3& p : collect_field_points(&map_header)) {
        glBegin(GL_POINTS);
        glVertex3f(p.x, p.y, p.z);
        glEnd();
    }
}
