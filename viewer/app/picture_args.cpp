#include "picture_args.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera_math.h"
#include "file_bytes.h"

PictureOptions default_picture_options()
{
    PictureOptions o;
    o.every = 1;
    o.fps = DEFAULT_MOVIE_FPS;
    o.width = DEFAULT_PICTURE_WIDTH;
    o.height = DEFAULT_PICTURE_HEIGHT;
    o.orbit_degrees = 0.0f;
    o.tilt_degrees = 0.0f;
    o.zoom = 1.0;
    o.show_field = false;
    o.show_layers = false;
    return o;
}

static const char* const PICTURE_OPTION_NAMES[] = {
    "--image", "--images", "--movie", "--every", "--fps", "--size",
    "--orbit", "--tilt",   "--zoom",  "--show",
};

const char* picture_option_name(const char* arg)
{
    for (const char* name : PICTURE_OPTION_NAMES) {
        size_t len = std::strlen(name);
        if (std::strncmp(arg, name, len) == 0 && (arg[len] == '\0' || arg[len] == '='))
            return name;
    }
    return nullptr;
}

// A finite decimal number, the whole text.
static bool parse_number(const std::string& text, double* out)
{
    if (text.empty() || std::isspace((unsigned char)text[0]))
        return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

// "WxH" with both sides within the picture limits.
static bool parse_size(const std::string& text, int* width, int* height)
{
    size_t x = text.find_first_of("xX");
    if (x == std::string::npos || x == 0 || x + 1 >= text.size())
        return false;
    std::string w = text.substr(0, x), h = text.substr(x + 1);
    if (w.size() > 5 || h.size() > 5 || w.find_first_not_of("0123456789") != std::string::npos ||
        h.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *width = std::atoi(w.c_str());
    *height = std::atoi(h.c_str());
    return *width >= MIN_PICTURE_SIDE && *width <= MAX_PICTURE_SIDE && *height >= MIN_PICTURE_SIDE &&
           *height <= MAX_PICTURE_SIDE;
}

// "field", "layers" or both, separated by commas.
static bool parse_show(const std::string& text, PictureOptions* o)
{
    bool field = false, layers = false;
    for (const std::string& word : split_text_at(text, ',')) {
        if (word == "field")
            field = true;
        else if (word == "layers")
            layers = true;
        else
            return false;
    }
    o->show_field = field;
    o->show_layers = layers;
    return true;
}

std::string set_picture_option(PictureOptions* o, const char* name, const std::string& value)
{
    if (o->first_option.empty())
        o->first_option = name;
    std::string option = name;
    double v = 0.0;
    if (option == "--image") {
        o->image_path = value;
    } else if (option == "--images") {
        o->images_dir = value;
    } else if (option == "--movie") {
        o->movie_path = value;
    } else if (option == "--every") {
        if (value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos ||
            !parse_number(value, &v) || v < 1.0 || v > 1e9)
            return "--every needs a whole number of frames from 1, not '" + value + "'";
        o->every = (long)v;
    } else if (option == "--fps") {
        if (!parse_number(value, &v) || v < 1.0 || v > 240.0)
            return "--fps needs a frame rate from 1 to 240, not '" + value + "'";
        o->fps = v;
    } else if (option == "--size") {
        if (!parse_size(value, &o->width, &o->height))
            return "--size needs WIDTHxHEIGHT, each from 16 to 8192 pixels, not '" + value + "'";
    } else if (option == "--orbit") {
        if (!parse_number(value, &v) || std::fabs(v) > 360.0)
            return "--orbit needs an angle from -360 to 360 degrees, not '" + value + "'";
        o->orbit_degrees = (float)v;
    } else if (option == "--tilt") {
        if (!parse_number(value, &v) || std::fabs(v) > 90.0)
            return "--tilt needs an angle from -90 to 90 degrees, not '" + value + "'";
        o->tilt_degrees = (float)v;
    } else if (option == "--zoom") {
        if (!parse_number(value, &v) || v < 0.01 || v > 100.0)
            return "--zoom needs a factor from 0.01 to 100, not '" + value + "'";
        o->zoom = v;
    } else if (option == "--show") {
        if (!parse_show(value, o))
            return "--show takes field and layers separated by a comma, not '" + value + "'";
    }
    return "";
}

bool pictures_wanted(const PictureOptions* o)
{
    return !o->image_path.empty() || !o->images_dir.empty() || !o->movie_path.empty();
}

std::string check_picture_options(const PictureOptions* o, bool headless, long frames)
{
    if (o->first_option.empty())
        return "";
    if (!headless)
        return o->first_option + " needs --headless";
    if (!pictures_wanted(o))
        return o->first_option + " needs --image, --images or --movie";
    if (!o->movie_path.empty() && (o->width % 2 != 0 || o->height % 2 != 0))
        return "--movie needs an even width and height (--size)";
    if (!o->movie_path.empty() && frames < o->every)
        return "--movie needs at least one frame: --frames is below --every";
    return "";
}

bool picture_frame_due(long frame, long every)
{
    return every > 0 && frame > 0 && frame % every == 0;
}

std::string numbered_picture_path(const std::string& dir, long frame)
{
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06ld.png", frame);
    if (!dir.empty() && dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

void aim_picture_camera(Camera* camera, float field_size, const PictureOptions* o)
{
    camera_reset(camera);
    camera_fit_field(camera, field_size, window_aspect(o->width, o->height));
    // A drag turns CAMERA_TURN_PER_UNIT radians per field unit: yaw by the
    // sideways travel, pitch by the vertical one (limited as a drag is). A
    // downward drag raises the eye, which a positive tilt does.
    const double radians_per_degree = 3.14159265358979323846 / 180.0;
    float dx = (float)(o->orbit_degrees * radians_per_degree / CAMERA_TURN_PER_UNIT);
    float dy = (float)(-o->tilt_degrees * radians_per_degree / CAMERA_TURN_PER_UNIT);
    if (dx != 0.0f || dy != 0.0f)
        camera_orbit(camera, dx, dy);
    if (o->zoom != 1.0)
        camera_zoom_factor(camera, o->zoom);
    set_projection(&camera->projection_matrix, CAMERA_FOVY, window_aspect(o->width, o->height),
                   CAMERA_NEAR, camera_far_plane(camera));
}
