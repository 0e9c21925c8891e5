// Pictures of a headless run: the command-line options that ask for them and
// the arithmetic around them (which frames, file names, the camera), free of
// GL so tests can check it.
#pragma once

#include <string>

struct Camera;

struct PictureOptions {
    std::string image_path;   // --image FILE.png: the last frame
    std::string images_dir;   // --images DIR: DIR/frame_NNNNNN.png every `every` frames
    std::string movie_path;   // --movie FILE.mp4: every `every`-th frame through ffmpeg
    long every;               // --every N (1)
    double fps;               // --fps R of the movie (30)
    int width;                // --size WxH (800 x 600)
    int height;
    float orbit_degrees;      // --orbit DEG: a drag to the right by that angle (0)
    float tilt_degrees;       // --tilt DEG: a downward drag by that angle, raising the eye (0)
    double zoom;              // --zoom F: eye distance divided by F (1)
    bool show_field;          // --show field: the collision cells, as key f
    bool show_layers;         // --show layers: start box and teleports, as key l
    std::string first_option; // the first picture option given ("" when none)
};

const int DEFAULT_PICTURE_WIDTH = 800;
const int DEFAULT_PICTURE_HEIGHT = 600;
const double DEFAULT_MOVIE_FPS = 30.0;
// Pictures are 16 to 8192 pixels each way.
const int MIN_PICTURE_SIDE = 16;
const int MAX_PICTURE_SIDE = 8192;

// Options as if none was given.
PictureOptions default_picture_options();

// The picture option that `arg` is ("--image" for "--image" and
// "--image=x.png"), or null.
const char* picture_option_name(const char* arg);
// Stores `value` of option `name` (from picture_option_name). Returns "" or
// what is wrong, one line.
std::string set_picture_option(PictureOptions* options, const char* name, const std::string& value);
// What is wrong with the options as a whole ("" when nothing): they need
// --headless and at least one of --image, --images and --movie, and a movie
// needs an even width and height (H.264 in yuv420p) and at least one frame
// among the run's `frames`.
std::string check_picture_options(const PictureOptions* options, bool headless, long frames);

// True when any picture is asked for.
bool pictures_wanted(const PictureOptions* options);
// Whether the frame that has just run (1-based) is kept for --images and
// --movie.
bool picture_frame_due(long frame, long every);
// "DIR/frame_000120.png" for frame 120.
std::string numbered_picture_path(const std::string& dir, long frame);

// The window's start-up view of the field, turned by --orbit and --tilt as
// a drag by those angles turns it, and zoomed by --zoom; with the projection
// for a picture of the options' size.
void aim_picture_camera(Camera* camera, float field_size, const PictureOptions* options);
