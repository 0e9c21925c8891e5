// The platform side of the entry-point table for the build without a
// window: lookups in the offscreen EGL context. There is no window-system
// extension string and no buffer swap to pace.
#include "gl_entry.h"
#include "gl_platform.h"
#include "offscreen.h"

GlEntryAddress gl_entry_lookup(const char* name)
{
    return offscreen_entry_lookup(name);
}

bool gl_entry_requirement_met(const char* requirement)
{
    return gl_requirement_met(requirement, (const char*)glGetString(GL_VERSION),
                              (const char*)glGetString(GL_EXTENSIONS), nullptr);
}

void set_swap_interval_zero()
{
}
