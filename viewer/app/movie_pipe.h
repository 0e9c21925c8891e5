// A movie made by the ffmpeg program: raw RGB frames are piped into it and
// it encodes them as H.264 in yuv420p in an MP4 file, which browsers and
// players open. The file is written beside the target under a temporary
// name and moved over it only when ffmpeg has finished without fault.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "output_file.h"

struct MoviePipe {
    pid_t pid;              // the ffmpeg process, 0 when none
    int fd;                 // its standard input, -1 when closed
    OutputFile output;      // the temporary file ffmpeg writes
    int width;
    int height;
    long frames;            // frames sent
    bool sigpipe_ignored;   // SIGPIPE was set to be ignored here (restored at the end)
    std::vector<uint8_t> rows;  // one frame turned top row first
};

// The full path of `program` found on PATH, or "" when it is not there.
std::string find_program(const char* program);
// The ffmpeg command line for frames of width x height at `fps` into `path`.
std::vector<std::string> movie_command(const std::string& ffmpeg, int width, int height, double fps,
                                       const std::string& path);
// Starts ffmpeg writing the movie for `path`. False with a reason.
bool start_movie(MoviePipe* movie, const char* path, int width, int height, double fps,
                 std::string* reason);
// Sends one frame: 8-bit RGB, rows bottom first (as read from GL). False
// when ffmpeg has stopped taking frames.
bool send_movie_frame(MoviePipe* movie, const uint8_t* rgb);
// Ends the input, waits for ffmpeg and, when `keep` and ffmpeg succeeded,
// moves the movie into place. False with a reason otherwise (the temporary
// file is removed).
bool finish_movie(MoviePipe* movie, bool keep, std::string* reason);
