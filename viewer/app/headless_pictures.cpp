#include "headless_pictures.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "png_file.h"
#include "render.h"
#include "render_math.h"
#include "user_files.h"
#include "viewer_args.h"

bool replaceable_picture(const char* path, const char* kind)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return true;
    unsigned char head[8] = {0};
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    ssize_t n = fd >= 0 ? read(fd, head, sizeof head) : -1;
    if (fd >= 0)
        close(fd);
    if (n != (ssize_t)sizeof head)
        return false;
    if (std::strcmp(kind, "png") == 0)
        return std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0;
    return std::memcmp(head + 4, "ftyp", 4) == 0;
}

static bool refuse(const char* what, const std::string& path, const std::string& reason)
{
    std::printf("ERROR! Cannot write the %s \"%s\": %s.\n", what, absolute_path(path).c_str(),
                reason.c_str());
    std::fflush(stdout);
    return false;
}

// One output file, which check_run_outputs found writable, must not replace
// a file of another kind.
static bool check_one_output(const char* what, const std::string& path, const char* kind)
{
    if (!replaceable_picture(path.c_str(), kind))
        return refuse(what, path, std::string("it is a file but not ") +
                                      (std::strcmp(kind, "png") == 0 ? "a PNG picture" : "an MP4 movie"));
    return true;
}

// Every "frame_*.png" already in the folder must be a picture, since the
// run may replace it.
static bool check_images_folder(const std::string& dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return refuse("pictures into", dir, "it is not a folder");
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return refuse("pictures into", dir, std::string("the folder takes no new file: ") + std::strerror(errno));
    DIR* d = opendir(dir.c_str());
    if (!d)
        return refuse("pictures into", dir, std::strerror(errno));
    bool ok = true;
    while (struct dirent* e = readdir(d)) {
        size_t len = std::strlen(e->d_name);
        if (len < 10 || std::strncmp(e->d_name, "frame_", 6) != 0 || std::strcmp(e->d_name + len - 4, ".png") != 0)
            continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        bool regular = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if (!regular || !replaceable_picture(path.c_str(), "png")) {
            ok = refuse("picture", path, regular ? "it is a file but not a PNG picture" : "it is not a regular file");
            break;
        }
    }
    closedir(d);
    return ok;
}

bool check_picture_outputs(const ViewerArgs& args)
{
    const PictureOptions& o = args.pictures;
    if (!o.image_path.empty() && !check_one_output("picture", o.image_path, "png"))
        return false;
    if (!o.images_dir.empty() && !check_images_folder(o.images_dir))
        return false;
    if (!o.movie_path.empty()) {
        if (!check_one_output("movie", o.movie_path, "mp4"))
            return false;
        if (find_program("ffmpeg").empty())
            return refuse("movie", o.movie_path, "the ffmpeg program is not installed (Debian package ffmpeg)");
    }
    return true;
}

bool start_picture_run(PictureRun* run, const ViewerArgs& args, const LoadedMap* map)
{
    const PictureOptions* o = &args.pictures;
    run->options = o;
    run->movie_started = false;
    run->images_written = 0;
    run->image_written = false;
    run->failed = false;
    std::string reason;
    if (!open_offscreen(&run->offscreen, o->width, o->height, &reason)) {
        std::printf("ERROR! Cannot draw pictures without a window: %s.\n", reason.c_str());
        std::fflush(stdout);
        return false;
    }
    build_ball_program();
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    aim_picture_camera(&run->camera, (float)map->header.field_size, o);
    if (o->show_field)
        run->field_points = collect_field_points(&map->header);
    if (!o->movie_path.empty()) {
        if (!start_movie(&run->movie, o->movie_path.c_str(), o->width, o->height, o->fps, &reason)) {
            close_offscreen(&run->offscreen);
            return refuse("movie", o->movie_path, reason);
        }
        run->movie_started = true;
    }
    return true;
}

void draw_picture(PictureRun* run, const SimState* sim, const LoadedMap* map)
{
    const PictureOptions* o = run->options;
    const float* view = run->camera.view_matrix.m;
    const float* projection = run->camera.projection_matrix.m;
    // The stacks hold the camera's matrices, as the window's do.
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(projection);
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixf(view);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    SceneOverlays overlays = {o->show_field ? &run->field_points : nullptr,
                              o->show_layers ? &map->layers : nullptr};
    draw_scene(sim, map, view, projection, o->width, o->height, &overlays);
    read_offscreen_pixels(&run->offscreen, &run->pixels);
}

// The picture as a PNG, through a temporary file moved into place; `fast`
// for the numbered pictures, which may come every frame.
static bool write_picture(PictureRun* run, const std::string& path, bool fast)
{
    OutputFile out;
    if (!begin_output(path.c_str(), &out))
        return refuse("picture", path, out.error ? std::strerror(out.error) : "it is a directory");
    bool ok = write_png_rgb_stream(out.file, run->options->width, run->options->height, run->pixels.data(), fast);
    ok = std::fclose(out.file) == 0 && ok;
    out.file = nullptr;
    if (!ok) {
        discard_output(&out);
        return refuse("picture", path, "writing the file failed");
    }
    int error = 0;
    if (!commit_output(&out, &error))
        return refuse("picture", path, std::strerror(error));
    return true;
}

bool draw_due_picture(PictureRun* run, const SimState* sim, const LoadedMap* map, long frame, bool last)
{
    const PictureOptions* o = run->options;
    bool due = picture_frame_due(frame, o->every);
    bool image = last && !o->image_path.empty();
    bool images = due && !o->images_dir.empty();
    bool movie = due && run->movie_started;
    if (run->failed || !(image || images || movie))
        return false;
    draw_picture(run, sim, map);
    if (images) {
        if (write_picture(run, numbered_picture_path(o->images_dir, frame), true))
            run->images_written += 1;
        else
            run->failed = true;
    }
    if (movie && !send_movie_frame(&run->movie, run->pixels.data())) {
        refuse("movie", o->movie_path, "ffmpeg stopped taking frames");
        run->failed = true;
    }
    if (image && !run->failed) {
        run->image_written = write_picture(run, o->image_path, false);
        run->failed = !run->image_written;
    }
    return true;
}

bool finish_picture_run(PictureRun* run)
{
    const PictureOptions* o = run->options;
    bool ok = !run->failed;
    if (run->movie_started) {
        std::string reason;
        if (finish_movie(&run->movie, ok, &reason)) {
            if (ok)
                std::printf("Movie: \"%s\" (%ld frames of %d x %d at %g frames/s)\n",
                            absolute_path(o->movie_path).c_str(), run->movie.frames, o->width, o->height,
                            o->fps);
        } else {
            refuse("movie", o->movie_path, reason);
            ok = false;
        }
    }
    close_offscreen(&run->offscreen);
    if (!o->images_dir.empty() && run->images_written > 0)
        std::printf("Pictures: %ld in \"%s\" (%d x %d)\n", run->images_written,
                    absolute_path(o->images_dir).c_str(), o->width, o->height);
    if (run->image_written)
        std::printf("Picture: \"%s\" (%d x %d)\n", absolute_path(o->image_path).c_str(), o->width,
                    o->height);
    std::fflush(stdout);
    return ok;
}
