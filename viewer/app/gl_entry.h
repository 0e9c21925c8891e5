// The table of OpenGL and GLX entry points that libGL does not promise to
// export: shader objects, swap control and a few later core functions.
//
// Every slot of gl_entry_table is called like the entry point itself. A slot
// starts at its own resolver, which on the first call checks that the entry's
// extension (or GL version) is advertised by the current context, looks the
// name up, stores the address in the slot and passes the call on. GLX hands
// out an address for any name, so the advertisement is what tells a real
// entry from a stub. A missing entry does nothing and yields 0; the slot stays
// at its resolver and the next call looks again. Slots may be called only once
// a GL context is current.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>

#include "gl_platform.h"

// One line per slot: result type, name, parameter list, argument list, and
// what must be advertised: an extension name ("GL_..." or "GLX_...") or a
// core version ("GL_VERSION_1_3").
#define KSM_GL_ENTRY_LIST(X)                                                                      \
    X(void, glXSwapIntervalEXT, (Display * dpy, GLXDrawable drawable, int interval),              \
      (dpy, drawable, interval), "GLX_EXT_swap_control")                                          \
    X(int, glXSwapIntervalMESA, (unsigned int interval), (interval), "GLX_MESA_swap_control")     \
    X(int, glXSwapIntervalSGI, (int interval), (interval), "GLX_SGI_swap_control")                \
    X(GLhandleARB, glCreateShaderObjectARB, (GLenum shaderType), (shaderType),                    \
      "GL_ARB_shader_objects")                                                                    \
    X(void, glShaderSourceARB,                                                                    \
      (GLhandleARB shaderObj, GLsizei count, const GLcharARB** string, const GLint* length),      \
      (shaderObj, count, string, length), "GL_ARB_shader_objects")                                \
    X(void, glCompileShaderARB, (GLhandleARB shaderObj), (shaderObj), "GL_ARB_shader_objects")    \
    X(GLhandleARB, glCreateProgramObjectARB, (void), (), "GL_ARB_shader_objects")                 \
    X(void, glAttachObjectARB, (GLhandleARB containerObj, GLhandleARB obj), (containerObj, obj),  \
      "GL_ARB_shader_objects")                                                                    \
    X(void, glDetachObjectARB, (GLhandleARB containerObj, GLhandleARB attachedObj),               \
      (containerObj, attachedObj), "GL_ARB_shader_objects")                                       \
    X(void, glDeleteObjectARB, (GLhandleARB obj), (obj), "GL_ARB_shader_objects")                 \
    X(void, glLinkProgramARB, (GLhandleARB programObj), (programObj), "GL_ARB_shader_objects")    \
    X(void, glUseProgramObjectARB, (GLhandleARB programObj), (programObj),                        \
      "GL_ARB_shader_objects")                                                                    \
    X(void, glGetObjectParameterivARB, (GLhandleARB obj, GLenum pname, GLint * params),           \
      (obj, pname, params), "GL_ARB_shader_objects")                                              \
    X(void, glGetInfoLogARB,                                                                      \
      (GLhandleARB obj, GLsizei maxLength, GLsizei * length, GLcharARB * infoLog),                \
      (obj, maxLength, length, infoLog), "GL_ARB_shader_objects")                                 \
    X(GLint, glGetUniformLocationARB, (GLhandleARB programObj, const GLcharARB* name),            \
      (programObj, name), "GL_ARB_shader_objects")                                                \
    X(void, glUniform1fARB, (GLint location, GLfloat v0), (location, v0),                         \
      "GL_ARB_shader_objects")                                                                    \
    X(void, glActiveTexture, (GLenum texture), (texture), "GL_VERSION_1_3")                       \
    X(void, glPointParameterf, (GLenum pname, GLfloat param), (pname, param), "GL_VERSION_1_4")   \
    X(void, glBindBuffer, (GLenum target, GLuint buffer), (target, buffer), "GL_VERSION_1_5")

struct GlEntryTable {
#define KSM_GL_ENTRY_SLOT(ret, name, params, args, requirement) ret(GLAPIENTRY* name) params;
    KSM_GL_ENTRY_LIST(KSM_GL_ENTRY_SLOT)
#undef KSM_GL_ENTRY_SLOT
};

extern GlEntryTable gl_entry_table;

// Number of slots in the table.
int gl_entry_count();
// Puts every slot back to its resolver (tests).
void reset_gl_entry_table();

// The platform side, which the table calls (gl_entry_lookup and
// gl_entry_requirement_met), is declared in gl_platform.h.

// Pure checks behind gl_entry_requirement_met.
// True when `name` is one of the blank-separated words of `list`.
bool extension_listed(const char* list, const char* name);
// True when a GL_VERSION string ("4.5 (Compatibility Profile) Mesa ...")
// names at least major.minor.
bool gl_version_at_least(const char* version, int major, int minor);
// `requirement` is "GL_VERSION_<major>_<minor>", a "GLX_" extension (looked
// for in glx_extensions) or a GL extension (in gl_extensions). Null strings
// meet nothing.
bool gl_requirement_met(const char* requirement, const char* gl_version,
                        const char* gl_extensions, const char* glx_extensions);

// Turns off waiting for the vertical retrace: glXSwapIntervalEXT with 0 on
// the current drawable, else glXSwapIntervalMESA, else glXSwapIntervalSGI
// (which may refuse 0, leaving the driver's default).
void set_swap_interval_zero();
