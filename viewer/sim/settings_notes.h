// Notes on a settings file: entries that look meant but that the token-mode
// reader passes over, so the user learns why a setting had no effect. The
// reading itself is not changed.
#pragma once

#include <string>
#include <vector>

// Keys of section "balls" that the viewer reads.
inline constexpr const char* BALL_SETTING_KEYS[] = {"count", "g", "cl", "geom", "t", "fps", "layers", "threads"};
inline constexpr int BALL_SETTING_KEY_COUNT = (int)(sizeof BALL_SETTING_KEYS / sizeof BALL_SETTING_KEYS[0]);

// One line per finding, each starting with `shown_path` and ": ": a key
// followed by a lone '=' (with how to write it), an unknown key in
// [balls], a count or fps that is negative or not a number, a file without
// a [balls] section. A path that is not a regular file (a folder, a named
// pipe, a device) gives one note saying what it is; a file that cannot be
// opened gives one note when `missing_is_noted`, none otherwise (the
// defaults apply quietly).
std::vector<std::string> check_ball_settings_file(const char* path, const std::string& shown_path,
                                                  bool missing_is_noted);
// The same over the file's text.
std::vector<std::string> check_ball_settings_text(const std::string& text,
                                                  const std::string& shown_path);
