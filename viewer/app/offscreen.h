// Drawing without a window: an EGL context of desktop OpenGL (compatibility
// profile, so the window's renderer runs in it unchanged) made current
// without any surface, drawing into a framebuffer object of colour and depth
// renderbuffers. Needs no X server: Mesa's surfaceless platform is asked
// for first, and on a machine without a GPU Mesa's software rasteriser
// draws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gl_platform.h"

struct OffscreenContext {
    void* display;         // EGLDisplay
    void* context;         // EGLContext
    unsigned framebuffer;  // the framebuffer object drawn into
    unsigned color_buffer;
    unsigned depth_buffer;
    int width;
    int height;
};

// Creates the context, makes it current and binds a width x height
// framebuffer with the viewport over it. False with a reason (one
// sentence, no full stop) when any step fails; nothing is left open then.
bool open_offscreen(OffscreenContext* offscreen, int width, int height, std::string* reason);
// Reads the framebuffer as 8-bit RGB, rows bottom first, 3 bytes a pixel.
void read_offscreen_pixels(const OffscreenContext* offscreen, std::vector<uint8_t>* rgb);
// Releases the framebuffer and the context.
void close_offscreen(OffscreenContext* offscreen);

// Whether an offscreen context is current on this thread.
bool offscreen_context_current();
// An entry point of the current offscreen context, or null.
GlEntryAddress offscreen_entry_lookup(const char* name);
