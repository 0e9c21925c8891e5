#include "start_hints.h"

#include <cctype>
#include <cstdio>

#include "sim_frame.h"
#include "user_files.h"

std::string unused_layers_note(const MapLayers* layers, bool layers_enabled, const std::string& config_shown)
{
    if (layers_enabled || (!layers->has_start && layers->teleport_count == 0))
        return "";
    std::string what;
    if (layers->has_start)
        what = "a start box";
    if (layers->teleport_count > 0) {
        what += what.empty() ? "" : " and ";
        what += std::to_string(layers->teleport_count) +
                (layers->teleport_count == 1 ? " teleport" : " teleports");
    }
    return "the map has " + what + ", which the simulation uses with layers=1 in the [balls] section of " +
           config_shown + "; key l shows them";
}

long start_box_capacity(const LayerBox* box, float extent)
{
    double lo[3], hi[3];
    if (!start_box_region(box, extent, lo, hi))
        return -1;
    double volume = 1.0;
    for (int k = 0; k < 3; ++k)
        volume *= hi[k] - lo[k];
    return (long)volume;
}

std::string crowded_start_note(const MapLayers* layers, bool layers_enabled, float extent, int ball_count)
{
    if (!layers_enabled || !layers->has_start)
        return "";
    long capacity = start_box_capacity(&layers->start, extent);
    if (capacity < 0 || ball_count <= capacity)
        return "";
    char text[256];
    std::snprintf(text, sizeof text,
                  "the start box holds roughly %ld balls at rest (one per unit cube), fewer than the %d asked "
                  "for: they start packed closer and burst out of it",
                  capacity, ball_count);
    return text;
}

bool looks_like_description(const std::string& path)
{
    size_t n = path.size();
    if (n >= 4 && path[n - 4] == '.' && std::tolower((unsigned char)path[n - 3]) == 'k' &&
        std::tolower((unsigned char)path[n - 2]) == 's' && std::tolower((unsigned char)path[n - 1]) == 'd')
        return true;
    // Only a regular file is looked into: a named pipe would block.
    FILE* f = open_regular_stream(path.c_str());
    if (!f)
        return false;
    int c;
    do
        c = std::fgetc(f);
    while (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    std::fclose(f);
    return c == '[' || c == ';';
}

std::string compile_first_hint(const std::string& path)
{
    std::string out = path;
    size_t slash = out.rfind('/');
    size_t dot = out.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        out.erase(dot);
    out += ".ksm";
    return "\"" + path + "\" is a map description, which the viewer cannot open: compile it first, as in " +
           "ksm_compiler " + path + " " + out + ", then open " + out;
}
