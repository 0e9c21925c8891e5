#include "map_hints.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "compile_report.h"
#include "file_bytes.h"

namespace {

const char* const MAIN_KEYS[] = {"field_size", "grid_size", "objs_num", "teleports", nullptr};
const char* const OBJECT_KEYS[] = {"file", "scale", "pos_x", "pos_y", "pos_z", "rt_angle", "rt_x",
                                   "rt_y", "rt_z", "geom1", "geom2", "object", nullptr};
const char* const START_KEYS[] = {"gg", "from_x", "from_y", "from_z", "to_x", "to_y", "to_z", nullptr};
const char* const TELEPORT_KEYS[] = {"from_from_x", "from_from_y", "from_from_z", "from_to_x", "from_to_y",
                                     "from_to_z", "to_from_x", "to_from_y", "to_from_z", "to_to_x",
                                     "to_to_y", "to_to_z", nullptr};

// The keys a section of this name takes (by its kind), or null.
const char* const* keys_of_section(const std::string& section)
{
    if (section == "main")
        return MAIN_KEYS;
    if (section == "start")
        return START_KEYS;
    if (section.compare(0, 4, "obj_") == 0)
        return OBJECT_KEYS;
    if (section.compare(0, 9, "teleport_") == 0)
        return TELEPORT_KEYS;
    return nullptr;
}

bool is_known_key(const char* const* keys, const std::string& key)
{
    for (; keys && *keys; ++keys)
        if (key == *keys)
            return true;
    return false;
}

std::string trimmed(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = (char)std::tolower((unsigned char)c);
    return s;
}

// The key of a key line: up to the first space or '='.
std::string key_of(const std::string& line)
{
    return line.substr(0, line.find_first_of(" \t="));
}

std::string at_line(size_t number, const std::string& phrase)
{
    return "line " + std::to_string(number) + ": " + phrase;
}

}  // namespace

std::vector<std::string> key_near_misses(const std::string& text, const char* section, const char* key)
{
    std::vector<std::string> found;
    const char* const* known = keys_of_section(section);
    bool in_section = false, section_seen = false;
    size_t number = 0;
    for (const std::string& line : split_text_lines(text)) {
        ++number;
        std::string bare = trimmed(line);
        if (!bare.empty() && bare[0] == '[') {
            size_t close = bare.find(']');
            std::string name = bare.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            // The reader takes the name between the brackets as it stands.
            in_section = line[0] == '[' && name == section;
            section_seen = section_seen || in_section;
            if (!in_section && lower(trimmed(name)) == lower(section))
                found.push_back(at_line(number, "the section header \"" + line + "\" is not [" + section +
                                                    "] (names are case-sensitive, and a header must start the "
                                                    "line without blanks inside its brackets)"));
            continue;
        }
        if (!in_section || bare.empty() || bare[0] == ';')
            continue;
        std::string name = key_of(bare);
        bool indented = line[0] == ' ' || line[0] == '\t';
        if (name == key && indented) {
            found.push_back(at_line(number, "\"" + bare + "\" is indented, and a line that starts with a blank "
                                                          "is never read"));
        } else if (name == key) {
            size_t eq = bare.find('=');
            if (eq == std::string::npos)
                found.push_back(at_line(number, "\"" + bare + "\" has no '='"));
            else if (eq + 1 == bare.size() && line.find_last_not_of(" \t") + 1 == line.size())
                found.push_back(at_line(number, "\"" + bare + "\" has nothing after its '='"));
        } else if (lower(name) == lower(key)) {
            found.push_back(at_line(number, "the key \"" + name + "\" is not " + key + " (keys are case-sensitive)"));
        } else if (known && !is_known_key(known, name)) {
            found.push_back(at_line(number, "\"" + name + "\" is no key of [" + std::string(section) + "]"));
        }
    }
    if (!section_seen)
        found.insert(found.begin(), std::string("the description has no section [") + section + "]");
    return found;
}

void hint_missing_key(const char* map_path, const char* section, const char* key)
{
    print_note(NOTE_HINT, "the key %s is missing from [%s] (a line \"%s = VALUE\" at the start of a line)", key,
               section, key);
    size_t size = 0;
    uint8_t* data = read_file_bytes(map_path, &size);
    if (!data)
        return;
    std::string text((const char*)data, size);
    std::free(data);
    std::vector<std::string> misses = key_near_misses(text, section, key);
    const size_t LISTED = 8;
    for (size_t i = 0; i < misses.size() && i < LISTED; ++i)
        print_note(NOTE_HINT, "%s", misses[i].c_str());
}

std::string box_overhang(const float* box, float field_size)
{
    // Less than this beyond the field is rounding, not a misplaced object.
    const double SLACK = 1e-3;
    static const char AXES[3] = {'x', 'y', 'z'};
    std::string text;
    char part[96];
    for (int axis = 0; axis < 3; ++axis) {
        double lo = box[2 * axis], hi = (double)box[2 * axis] + (double)box[2 * axis + 1];
        if (lo < -SLACK) {
            std::snprintf(part, sizeof part, "%s%c by %g below 0", text.empty() ? "" : ", ", AXES[axis], -lo);
            text += part;
        }
        if (hi > (double)field_size + SLACK) {
            std::snprintf(part, sizeof part, "%s%c by %g above %g", text.empty() ? "" : ", ", AXES[axis],
                          hi - (double)field_size, (double)field_size);
            text += part;
        }
    }
    return text;
}

void warn_layer_box(const char* section, const char* which, const int32_t raw[6], unsigned field_size)
{
    for (int i = 0; i < 6; ++i)
        if (raw[i] < 0 || raw[i] > 255)
            print_note(NOTE_WARNING, "[%s] %s: %d does not fit in 0..255 and is stored as %u", section, which,
                       (int)raw[i], (unsigned)(uint8_t)raw[i]);
    // The box covers the units min .. max, that is [min, max + 1].
    float box[6];
    int32_t stored[6];
    for (int i = 0; i < 6; ++i)
        stored[i] = (uint8_t)raw[i];
    bool wholly = false;
    for (int axis = 0; axis < 3; ++axis) {
        int32_t a = stored[axis], b = stored[axis + 3];
        int32_t lo = a < b ? a : b, hi = a < b ? b : a;
        box[2 * axis] = (float)lo;
        box[2 * axis + 1] = (float)(hi + 1 - lo);
        wholly = wholly || lo >= (int32_t)field_size;
    }
    std::string over = box_overhang(box, (float)field_size);
    if (over.empty())
        return;
    char where[96];
    std::snprintf(where, sizeof where, "x %d..%d, y %d..%d, z %d..%d", (int)box[0], (int)(box[0] + box[1] - 1),
                  (int)box[2], (int)(box[2] + box[3] - 1), (int)box[4], (int)(box[4] + box[5] - 1));
    print_note(NOTE_WARNING, "[%s] %s (%s) lies %s outside the field (units 0..%d on each axis): %s", section,
               which, where, wholly ? "wholly" : "partly", (int)field_size - 1, over.c_str());
}
