// Warnings and hints about a map description that compiles but may not do
// what its writer meant, and the near misses behind a missing key. All of it
// goes to standard error; the transcript and the output bytes never change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The near misses of a missing key in the description `text`: sections
// named like `section` but for letter case or blanks, and in `section`
// itself an indented line or a line in another letter case for `key`, a
// line for `key` without a value, and keys that this kind of section does
// not take. One phrase per finding, with its line number.
std::vector<std::string> key_near_misses(const std::string& text, const char* section, const char* key);

// After "ERROR IN MAP/LAYER: [section][key]": a hint that the key is
// missing, then one per near miss found in the file at `map_path`.
void hint_missing_key(const char* map_path, const char* section, const char* key);

// The parts of a placed box (pos_x, size_x, pos_y, size_y, pos_z, size_z)
// outside the field 0..field_size, such as "y by 4 above 10"; empty when
// the box lies inside (to within rounding).
std::string box_overhang(const float* box, float field_size);

// A warning when a start or teleport box (raw values as written: corner a
// x, y, z, then corner b) reaches outside the field of whole units
// 0..field_size, or a value does not fit in the byte it is stored in.
// `which` names the box ("the start box", "the from box").
void warn_layer_box(const char* section, const char* which, const int32_t raw[6], unsigned field_size);
