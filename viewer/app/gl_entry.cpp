// The GLX side of the entry-point table: lookups by name, the advertised
// extensions and version of the current context, and swap control.
#include "gl_entry.h"
#include "gl_platform.h"
#ifndef KSM_FIELD_VIEW
#include "offscreen.h"
#endif

GlEntryAddress gl_entry_lookup(const char* name)
{
#ifndef KSM_FIELD_VIEW
    // A headless run with pictures draws in an EGL context, not a GLX one.
    if (offscreen_context_current())
        return offscreen_entry_lookup(name);
#endif
    return (GlEntryAddress)glXGetProcAddressARB((const GLubyte*)name);
}

bool gl_entry_requirement_met(const char* requirement)
{
    const char* gl_version = (const char*)glGetString(GL_VERSION);
    const char* gl_extensions = (const char*)glGetString(GL_EXTENSIONS);
    const char* glx_extensions = nullptr;
    Display* display = glXGetCurrentDisplay();
    if (display)
        glx_extensions = glXQueryExtensionsString(display, DefaultScreen(display));
    return gl_requirement_met(requirement, gl_version, gl_extensions, glx_extensions);
}

void set_swap_interval_zero()
{
    Display* display = glXGetCurrentDisplay();
    GLXDrawable drawable = glXGetCurrentDrawable();
    if (display && drawable && gl_entry_requirement_met("GLX_EXT_swap_control")) {
        gl_entry_table.glXSwapIntervalEXT(display, drawable, 0);
        return;
    }
    if (gl_entry_requirement_met("GLX_MESA_swap_control")) {
        gl_entry_table.glXSwapIntervalMESA(0);
        return;
    }
    gl_entry_table.glXSwapIntervalSGI(0);
}
