#include "settings_notes.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "balls.h"
#include "file_bytes.h"
#include "ini.h"

static bool is_known_key(const std::string& key)
{
    for (const char* k : BALL_SETTING_KEYS)
        if (key == k)
            return true;
    return false;
}

// The words of the text as the token-mode reader cuts them; words longer
// than the reader looks at are dropped, as it skips them.
static std::vector<std::string> split_words(const std::string& text)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace((unsigned char)text[i]))
            ++i;
        size_t start = i;
        while (i < text.size() && !std::isspace((unsigned char)text[i]))
            ++i;
        if (i > start && i - start <= (size_t)INI_MAX_ENTRY)
            words.push_back(text.substr(start, i - start));
    }
    return words;
}

// What a count, fps or threads value that is passed over leads to.
static const char* integer_effect(const std::string& key)
{
    if (key == "count")
        return "no balls are placed";
    if (key == "fps")
        return "the frames are not capped";
    return "the simulation runs in the sequential mode";  // "threads"
}

// "count", "fps" and "threads" are read as atoi reads them: the leading integer.
static void check_integer(const std::string& key, const std::string& value, const std::string& where,
                          std::vector<std::string>* notes)
{
    const char* text = value.c_str();
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    const char* effect = integer_effect(key);
    if (end == text)
        notes->push_back(where + key + " \"" + value + "\" is not a number; " + effect);
    else if (v < 0)
        notes->push_back(where + key + " \"" + value + "\" is negative; " + effect);
}

std::vector<std::string> check_ball_settings_text(const std::string& text,
                                                  const std::string& shown_path)
{
    std::vector<std::string> notes;
    const std::string where = shown_path + ": ";
    std::vector<std::string> words = split_words(text);
    bool in_balls = false, has_balls = false;
    std::vector<std::string> seen;  // keys met in [balls]; the reader takes the first
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const std::string prev = i > 0 ? words[i - 1] : "";
        const std::string next = i + 1 < words.size() ? words[i + 1] : "";
        if (w[0] == '[') {
            size_t open = w.find('['), close = w.find(']', open + 1);
            std::string name = w.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
            in_balls = name == BALL_SETTINGS_SECTION;
            has_balls = has_balls || in_balls;
            continue;
        }
        if (!in_balls || w[0] == ';')
            continue;
        size_t eq = w.find('=');
        bool prev_is_plain = !prev.empty() && prev.find('=') == std::string::npos &&
                             prev[0] != '[' && prev[0] != ';';
        std::string key, value;
        bool lone = false;
        if (w == "=" && prev_is_plain) {
            key = prev, value = next, lone = true;  // "count = 2000"
        } else if (eq == 0 && prev_is_plain) {
            key = prev, value = w.substr(1), lone = true;  // "count =2000"
        } else if (eq != std::string::npos && eq + 1 == w.size() && eq > 0) {
            key = w.substr(0, eq), value = next, lone = true;  // "count= 2000"
        }
        if (lone) {
            if (value.empty() || value.find('=') != std::string::npos)
                value = "VALUE";
            notes.push_back(where + "\"" + key + "\" is followed by a lone '=' and is not read; write " +
                            key + "=" + value + " as one word");
            continue;
        }
        if (eq == std::string::npos || eq == 0)
            continue;
        key = w.substr(0, eq);
        value = w.substr(eq + 1);
        if (!is_known_key(key)) {
            notes.push_back(where + "unknown key \"" + key + "\" in [" + BALL_SETTINGS_SECTION + "]");
            continue;
        }
        bool first = true;
        for (const std::string& k : seen)
            first = first && k != key;
        if (!first)
            continue;
        seen.push_back(key);
        if (key == "count" || key == "fps" || key == "threads")
            check_integer(key, value, where, &notes);
    }
    if (!has_balls)
        notes.push_back(where + "no [" + std::string(BALL_SETTINGS_SECTION) + "] section; the defaults apply");
    return notes;
}

std::vector<std::string> check_ball_settings_file(const char* path, const std::string& shown_path,
                                                  bool missing_is_noted)
{
    // At most the size the file had when opened, as the reader reads; a
    // named pipe, a device or a folder is never read: the reader passes it
    // over as it does a missing file.
    size_t size = 0;
    bool opened = false;
    FileKind kind = FILE_MISSING;
    uint8_t* data = read_file_bytes(path, &size, &opened, &kind);
    if (!opened && kind != FILE_MISSING)
        return {shown_path + ": " + file_kind_text(kind, 0) + "; the defaults apply"};
    if (!opened)
        return missing_is_noted ? std::vector<std::string>{shown_path + ": cannot be opened; the defaults apply"}
                                : std::vector<std::string>{};
    // A file too large to hold in memory gets no notes.
    std::vector<std::string> notes;
    if (data)
        notes = check_ball_settings_text(std::string((const char*)data, size), shown_path);
    std::free(data);
    return notes;
}
