// The seam between the entry-point table (gl_entry_logic.cpp, in the
// window-free library ksm_viewer_core) and the platform's GL binding. The
// library calls these two functions and defines neither: the programs link
// gl_entry.cpp (GLX), the tests link fakes of their own. Nothing else in the
// library reaches the platform.
#pragma once

// Address of an entry point in the current context, or null.
typedef void (*GlEntryAddress)();

// Looks `name` up in the current context.
GlEntryAddress gl_entry_lookup(const char* name);
// Whether the current context advertises `requirement`: an extension
// ("GL_..." or "GLX_...") or a core version ("GL_VERSION_<major>_<minor>").
bool gl_entry_requirement_met(const char* requirement);
