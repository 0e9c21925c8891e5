#include "ini.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_bytes.h"
#include "user_files.h"

void split_at(char* text, char* prefix, char c)
{
    char* hit = std::strchr(text, c);
    if (!hit) {
        std::strcpy(prefix, text);
        text[0] = '\0';
        return;
    }
    size_t n = (size_t)(hit - text);
    std::memcpy(prefix, text, n);
    prefix[n] = '\0';
    std::memmove(text, hit + 1, std::strlen(hit + 1) + 1);
}

// Splits a key entry at its first '=' into key part and value text; false
// when there is no '=' or nothing follows it.
static bool split_key_entry(const char* entry, char* key_part, char* value_text)
{
    char work[INI_BUFFER_SIZE];
    std::snprintf(work, sizeof work, "%s", entry);
    if (!std::strchr(work, '='))
        return false;
    split_at(work, key_part, '=');
    if (work[0] == '\0')
        return false;
    std::strcpy(value_text, work);
    return true;
}

bool parse_key_line(const char* line, char* key, char* value)
{
    char key_part[INI_BUFFER_SIZE];
    char value_text[INI_BUFFER_SIZE];
    if (!split_key_entry(line, key_part, value_text))
        return false;
    // The key name ends at the first space of the key part.
    split_at(key_part, key, ' ');
    const char* v = value_text;
    while (*v == ' ')
        ++v;
    std::strcpy(value, v);
    return true;
}

static void copy_out(char* out, const char* text)
{
    std::snprintf(out, INI_BUFFER_SIZE, "%s", text);
}

static bool is_word_space(int ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f';
}

static bool ends_entry(int ch, IniMode mode)
{
    if (ch == EOF)
        return true;
    return mode == INI_TOKEN_MODE ? is_word_space(ch) : (ch == '\n' || ch == '\r');
}

// The file being scanned and the bytes it may still give: never more than
// its size when it was opened, so a file that grows while it is read (or a
// log appended to) cannot make the scan run on.
struct EntryReader {
    FILE* file;
    size_t left;
};

static int next_char(EntryReader* r)
{
    if (r->left == 0)
        return EOF;
    int ch = std::fgetc(r->file);
    if (ch == EOF)
        r->left = 0;
    else
        --r->left;
    return ch;
}

// Reads the next line (line mode) or word (token mode) into `entry`. Returns
// false at the end of the file when nothing was read; sets `*too_long` when
// the entry exceeded INI_MAX_ENTRY characters (the rest is consumed).
static bool read_entry(EntryReader* r, IniMode mode, char* entry, bool* too_long)
{
    int n = 0;
    int ch = next_char(r);
    *too_long = false;
    if (mode == INI_TOKEN_MODE) {
        while (is_word_space(ch))
            ch = next_char(r);
    }
    if (ch == EOF)
        return false;
    while (!ends_entry(ch, mode)) {
        if (n < INI_MAX_ENTRY)
            entry[n++] = (char)ch;
        else
            *too_long = true;
        ch = next_char(r);
    }
    entry[n] = '\0';
    return true;
}

// The section name of a header entry: after the first '[' up to the first ']'.
static void section_name_of(const char* entry, char* name)
{
    char work[INI_BUFFER_SIZE];
    char scratch[INI_BUFFER_SIZE];
    std::snprintf(work, sizeof work, "%s", entry);
    split_at(work, scratch, '[');
    split_at(work, name, ']');
}

void read_profile_string(const char* path, const char* section, const char* key,
                         const char* def, char* out, IniMode mode)
{
    // A path that is no regular file (a named pipe, /dev/zero, a folder)
    // is read as a missing file: opening it never blocks.
    FILE* f = open_regular_stream(path);
    if (!f) {
        copy_out(out, def);
        return;
    }
    struct stat st;
    EntryReader reader{f, fstat(fileno(f), &st) == 0 ? (size_t)st.st_size : 0};
    bool in_section = false;
    char entry[INI_BUFFER_SIZE];
    char name[INI_BUFFER_SIZE];
    char value[INI_BUFFER_SIZE];
    bool too_long = false;
    while (read_entry(&reader, mode, entry, &too_long)) {
        if (too_long)
            continue;
        if (entry[0] == '[') {
            section_name_of(entry, name);
            in_section = std::strcmp(name, section) == 0;
        } else if (entry[0] == ';') {
            continue;
        } else if (in_section) {
            bool found;
            if (mode == INI_LINE_MODE)
                found = parse_key_line(entry, name, value);
            else
                found = split_key_entry(entry, name, value);
            if (found && std::strcmp(name, key) == 0) {
                std::fclose(f);
                copy_out(out, value);
                return;
            }
        }
    }
    std::fclose(f);
    copy_out(out, def);
}

void index_profile_text(const char* text, size_t size, IniIndex* index)
{
    index->opened = true;
    index->sections.clear();
    std::unordered_map<std::string, std::string>* current = nullptr;
    char entry[INI_BUFFER_SIZE];
    char name[INI_BUFFER_SIZE];
    char value[INI_BUFFER_SIZE];
    size_t at = 0;
    // Entries as read_entry cuts them in line mode: up to '\n' or '\r',
    // which is consumed; an entry over INI_MAX_ENTRY characters is skipped.
    while (at < size) {
        size_t start = at;
        while (at < size && text[at] != '\n' && text[at] != '\r')
            ++at;
        size_t n = at - start;
        if (at < size)
            ++at;
        if (n > (size_t)INI_MAX_ENTRY)
            continue;
        std::memcpy(entry, text + start, n);
        entry[n] = '\0';
        if (entry[0] == '[') {
            section_name_of(entry, name);
            current = &index->sections[name];
        } else if (entry[0] == ';') {
            continue;
        } else if (current && parse_key_line(entry, name, value)) {
            current->emplace(name, value);  // an earlier entry of the key is kept
        }
    }
}

bool load_profile_index(const char* path, IniIndex* index, FileKind* kind, int* error)
{
    size_t size = 0;
    FileKind k = FILE_MISSING;
    int e = 0;
    uint8_t* data = read_file_bytes(path, &size, nullptr, &k, &e);
    index->path = path;
    if (kind)
        *kind = k;
    if (error)
        *error = e;
    if (!data) {
        index->opened = false;
        index->sections.clear();
        return false;
    }
    index_profile_text((const char*)data, size, index);
    std::free(data);
    return true;
}

void lookup_profile_string(const IniIndex* index, const char* section, const char* key, const char* def,
                           char* out)
{
    auto s = index->sections.find(section);
    if (s != index->sections.end()) {
        auto k = s->second.find(key);
        if (k != s->second.end()) {
            copy_out(out, k->second.c_str());
            return;
        }
    }
    copy_out(out, def);
}
