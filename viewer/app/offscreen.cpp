#include "offscreen.h"

#define EGL_NO_X11
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstring>

// Framebuffer objects are core from OpenGL 3.0; their entry points are
// looked up, since the GL library need not export them.
struct FramebufferCalls {
    PFNGLGENFRAMEBUFFERSPROC gen_framebuffers;
    PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC framebuffer_renderbuffer;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC check_framebuffer_status;
    PFNGLDELETEFRAMEBUFFERSPROC delete_framebuffers;
    PFNGLGENRENDERBUFFERSPROC gen_renderbuffers;
    PFNGLBINDRENDERBUFFERPROC bind_renderbuffer;
    PFNGLRENDERBUFFERSTORAGEPROC renderbuffer_storage;
    PFNGLDELETERENDERBUFFERSPROC delete_renderbuffers;
};

static bool find_framebuffer_calls(FramebufferCalls* c)
{
    c->gen_framebuffers = (PFNGLGENFRAMEBUFFERSPROC)eglGetProcAddress("glGenFramebuffers");
    c->bind_framebuffer = (PFNGLBINDFRAMEBUFFERPROC)eglGetProcAddress("glBindFramebuffer");
    c->framebuffer_renderbuffer =
        (PFNGLFRAMEBUFFERRENDERBUFFERPROC)eglGetProcAddress("glFramebufferRenderbuffer");
    c->check_framebuffer_status =
        (PFNGLCHECKFRAMEBUFFERSTATUSPROC)eglGetProcAddress("glCheckFramebufferStatus");
    c->delete_framebuffers = (PFNGLDELETEFRAMEBUFFERSPROC)eglGetProcAddress("glDeleteFramebuffers");
    c->gen_renderbuffers = (PFNGLGENRENDERBUFFERSPROC)eglGetProcAddress("glGenRenderbuffers");
    c->bind_renderbuffer = (PFNGLBINDRENDERBUFFERPROC)eglGetProcAddress("glBindRenderbuffer");
    c->renderbuffer_storage = (PFNGLRENDERBUFFERSTORAGEPROC)eglGetProcAddress("glRenderbufferStorage");
    c->delete_renderbuffers = (PFNGLDELETERENDERBUFFERSPROC)eglGetProcAddress("glDeleteRenderbuffers");
    return c->gen_framebuffers && c->bind_framebuffer && c->framebuffer_renderbuffer &&
           c->check_framebuffer_status && c->delete_framebuffers && c->gen_renderbuffers &&
           c->bind_renderbuffer && c->renderbuffer_storage && c->delete_renderbuffers;
}

// Set while an offscreen context is current, so that the window's lookups
// can tell without asking EGL.
static bool offscreen_current = false;

static bool client_extension(const char* name)
{
    const char* list = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!list)
        return false;
    size_t len = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += len)
        if ((p == list || p[-1] == ' ') && (p[len] == ' ' || p[len] == '\0'))
            return true;
    return false;
}

// Mesa's surfaceless platform where it is offered (it needs no display
// server), otherwise the default display.
static EGLDisplay open_display()
{
    if (client_extension("EGL_MESA_platform_surfaceless")) {
        auto get_platform_display =
            (PFNEGLGETPLATFORMDISPLAYEXTPROC)eglGetProcAddress("eglGetPlatformDisplayEXT");
        if (get_platform_display) {
            EGLDisplay d = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
            if (d != EGL_NO_DISPLAY && eglInitialize(d, nullptr, nullptr))
                return d;
        }
    }
    EGLDisplay d = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    if (d != EGL_NO_DISPLAY && eglInitialize(d, nullptr, nullptr))
        return d;
    return EGL_NO_DISPLAY;
}

static bool fail(OffscreenContext* o, std::string* reason, const char* why)
{
    *reason = why;
    close_offscreen(o);
    return false;
}

bool open_offscreen(OffscreenContext* o, int width, int height, std::string* reason)
{
    std::memset(o, 0, sizeof *o);
    o->width = width;
    o->height = height;
    EGLDisplay display = open_display();
    if (display == EGL_NO_DISPLAY)
        return fail(o, reason, "no EGL display could be opened (is libegl-mesa0 installed?)");
    o->display = display;
    if (!eglBindAPI(EGL_OPENGL_API))
        return fail(o, reason, "EGL offers no desktop OpenGL");
    const EGLint config_wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configs = 0;
    if (!eglChooseConfig(display, config_wanted, &config, 1, &configs) || configs < 1)
        config = nullptr;  // EGL_NO_CONFIG_KHR: the context needs none for a framebuffer object
    EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, nullptr);
    if (context == EGL_NO_CONTEXT)
        return fail(o, reason, "EGL could not create an OpenGL context");
    o->context = context;
    if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context))
        return fail(o, reason, "the OpenGL context cannot be used without a surface");
    offscreen_current = true;
    FramebufferCalls fb;
    if (!find_framebuffer_calls(&fb))
        return fail(o, reason, "the OpenGL driver has no framebuffer objects");
    GLint largest = 0;
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &largest);
    if (width > largest || height > largest)
        return fail(o, reason, "the picture is larger than the OpenGL driver can draw");
    fb.gen_renderbuffers(1, &o->color_buffer);
    fb.bind_renderbuffer(GL_RENDERBUFFER, o->color_buffer);
    fb.renderbuffer_storage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    fb.gen_renderbuffers(1, &o->depth_buffer);
    fb.bind_renderbuffer(GL_RENDERBUFFER, o->depth_buffer);
    fb.renderbuffer_storage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
    fb.gen_framebuffers(1, &o->framebuffer);
    fb.bind_framebuffer(GL_FRAMEBUFFER, o->framebuffer);
    fb.framebuffer_renderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, o->color_buffer);
    fb.framebuffer_renderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, o->depth_buffer);
    if (fb.check_framebuffer_status(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        return fail(o, reason, "the OpenGL driver cannot draw into a framebuffer of that size");
    glViewport(0, 0, width, height);
    return true;
}

void read_offscreen_pixels(const OffscreenContext* o, std::vector<uint8_t>* rgb)
{
    rgb->resize((size_t)o->width * (size_t)o->height * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glReadPixels(0, 0, o->width, o->height, GL_RGB, GL_UNSIGNED_BYTE, rgb->data());
}

void close_offscreen(OffscreenContext* o)
{
    EGLDisplay display = (EGLDisplay)o->display;
    if (o->context) {
        FramebufferCalls fb;
        if (eglGetCurrentContext() == (EGLContext)o->context && find_framebuffer_calls(&fb)) {
            fb.bind_framebuffer(GL_FRAMEBUFFER, 0);
            if (o->framebuffer)
                fb.delete_framebuffers(1, &o->framebuffer);
            if (o->color_buffer)
                fb.delete_renderbuffers(1, &o->color_buffer);
            if (o->depth_buffer)
                fb.delete_renderbuffers(1, &o->depth_buffer);
        }
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        offscreen_current = false;
        eglDestroyContext(display, (EGLContext)o->context);
    }
    if (display)
        eglTerminate(display);
    std::memset(o, 0, sizeof *o);
}

bool offscreen_context_current()
{
    return offscreen_current;
}

GlEntryAddress offscreen_entry_lookup(const char* name)
{
    return (GlEntryAddress)eglGetProcAddress(name);
}
