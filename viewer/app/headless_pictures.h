// The pictures of a headless run: the outputs checked before the run, the
// offscreen context, and each picture drawn by the window's renderer from
// the window's camera, written as a PNG or sent to the movie.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera_math.h"
#include "map_format.h"
#include "sim_state.h"
#include "movie_pipe.h"
#include "offscreen.h"

struct ViewerArgs;
struct PictureOptions;

struct PictureRun {
    const PictureOptions* options;
    OffscreenContext offscreen;
    Camera camera;
    MoviePipe movie;
    bool movie_started;
    std::vector<uint8_t> pixels;      // the latest picture, rows bottom first
    std::vector<Vec3> field_points;   // --show field
    long images_written;              // --images
    bool image_written;               // --image
    bool failed;                      // a picture could not be written: no more are drawn
};

// Refuses, before anything runs and after check_run_outputs, a picture or
// movie that would replace a file that is not a picture of its kind, an
// --images folder that is none or holds such a file, and a movie without
// ffmpeg. Prints "ERROR! ..." on stdout and returns false.
bool check_picture_outputs(const ViewerArgs& args);
// Opens the offscreen context, builds the ball program, aims the camera and
// starts ffmpeg. Prints "ERROR! ..." and returns false on failure.
bool start_picture_run(PictureRun* run, const ViewerArgs& args, const LoadedMap* map);
// After frame `frame` (1-based; 0 before any) of the run: draws the picture
// when --images or --movie wants this frame or when it is the last and
// --image wants it. True when a picture was drawn.
bool draw_due_picture(PictureRun* run, const SimState* sim, const LoadedMap* map, long frame, bool last);
// Ends the movie, closes the context and prints where the pictures went.
// False when a picture or the movie failed.
bool finish_picture_run(PictureRun* run);

// Whether the file at `path` may be replaced by a picture of the given
// kind: it does not exist, is empty, or starts as such a file does ("png":
// the PNG signature; "mp4": an ISO media box "ftyp").
bool replaceable_picture(const char* path, const char* kind);
// Draws one frame of the scene with the run's camera into the offscreen
// framebuffer and reads it into run->pixels.
void draw_picture(PictureRun* run, const SimState* sim, const LoadedMap* map);
