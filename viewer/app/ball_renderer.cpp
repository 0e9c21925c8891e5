// Balls as point sprites shaded like lit spheres: the shader program, the
// per-frame sprite set-up and one array draw from the simulation's arrays.
#include <cstdio>
#include <cstring>

#include "balls.h"
#include "render.h"
#include "render_math.h"

static_assert(sizeof(Vec3) == 12 && sizeof(BallColor) == 12,
              "ball arrays are drawn as tightly packed float triples");

GLhandleARB ball_program = 0;

// Each sprite is pointRadius * pointScale / (eye distance) pixels wide.
// densityScale and densityOffset are declared but never set.
static const char* const BALL_VERTEX_SHADER =
    "uniform float pointRadius; uniform float pointScale; uniform float densityScale; "
    "uniform float densityOffset; void main() { vec3 posEye = vec3(gl_ModelViewMatrix * "
    "vec4(gl_Vertex.xyz, 1.0)); float dist = length(posEye); gl_PointSize = pointRadius * "
    "(pointScale / dist); gl_TexCoord[0] = gl_MultiTexCoord0; gl_Position = "
    "gl_ModelViewProjectionMatrix * vec4(gl_Vertex.xyz, 1.0); gl_FrontColor = gl_Color; }";

// The sprite's texture coordinate becomes a point of the unit disc (y up);
// outside it is discarded, inside it is lit from the upper right front.
static const char* const BALL_FRAGMENT_SHADER =
    "void main() { const vec3 lightDir = vec3(0.6, 0.6, 0.6); vec3 N; N.xy = "
    "gl_TexCoord[0].xy*vec2(2.0, -2.0) + vec2(-1.0, 1.0); float mag = dot(N.xy, N.xy); if (mag "
    "> 1.0) discard; N.z = sqrt(1.0-mag); float diffuse = max(0.0, dot(lightDir, N)); "
    "gl_FragColor = gl_Color * diffuse; }";

static const int OBJECT_LOG_SIZE = 2048;

void print_object_log(GLhandleARB object, GLenum status)
{
    GLint value = 0;
    gl_entry_table.glGetObjectParameterivARB(object, status, &value);
    if (value != 0)
        return;
    char log[OBJECT_LOG_SIZE];
    std::memset(log, 0, sizeof log);
    gl_entry_table.glGetInfoLogARB(object, OBJECT_LOG_SIZE, nullptr, log);
    log[OBJECT_LOG_SIZE - 1] = '\0';
#ifdef KSM_FIELD_VIEW
    std::printf("LOG:\n%s\n", log);
#else
    std::printf("%s", log);
#endif
    std::fflush(stdout);
}

void build_ball_program()
{
    set_swap_interval_zero();
    GLhandleARB fragment = gl_entry_table.glCreateShaderObjectARB(GL_FRAGMENT_SHADER_ARB);
    GLhandleARB vertex = gl_entry_table.glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB);
    const GLcharARB* fragment_source = BALL_FRAGMENT_SHADER;
    const GLcharARB* vertex_source = BALL_VERTEX_SHADER;
    gl_entry_table.glShaderSourceARB(fragment, 1, &fragment_source, nullptr);
    gl_entry_table.glShaderSourceARB(vertex, 1, &vertex_source, nullptr);
    gl_entry_table.glCompileShaderARB(fragment);
    print_object_log(fragment, GL_OBJECT_COMPILE_STATUS_ARB);
    gl_entry_table.glCompileShaderARB(vertex);
    print_object_log(vertex, GL_OBJECT_COMPILE_STATUS_ARB);
    ball_program = gl_entry_table.glCreateProgramObjectARB();
    gl_entry_table.glAttachObjectARB(ball_program, fragment);
    gl_entry_table.glAttachObjectARB(ball_program, vertex);
    gl_entry_table.glLinkProgramARB(ball_program);
    print_object_log(ball_program, GL_OBJECT_LINK_STATUS_ARB);
}

void setup_ball_sprites(float width, float height, float radius)
{
    glEnable(GL_POINT_SPRITE);
    glTexEnvi(GL_POINT_SPRITE, GL_COORD_REPLACE, GL_TRUE);
    glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
    glDepthMask(GL_TRUE);
    glEnable(GL_DEPTH_TEST);
    gl_entry_table.glUseProgramObjectARB(ball_program);
    BallSpriteScale scale = compute_ball_sprite_scale(width, height, radius);
    gl_entry_table.glUniform1fARB(gl_entry_table.glGetUniformLocationARB(ball_program, "pointScale"),
                                  scale.point_scale);
    gl_entry_table.glUniform1fARB(gl_entry_table.glGetUniformLocationARB(ball_program, "pointRadius"),
                                  scale.point_radius);
}

void draw_balls(const SimState* sim, const float* view, const float* projection)
{
    const Vec3* positions = sim->ball_pos;
    int count = sim->ball_count;
    glPushAttrib(GL_ENABLE_BIT);
    push_camera_matrices(view, projection);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, positions);
    glColorPointer(3, GL_FLOAT, 0, sim->ball_color);
    glDrawArrays(GL_POINTS, 0, count);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_COLOR_ARRAY);
    pop_camera_matrices();
    glPopAttrib();
}
