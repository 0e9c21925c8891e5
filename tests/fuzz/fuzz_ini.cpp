// Fuzz target: the INI reader in both modes on arbitrary file contents, and
// the index read once against the line-mode scan.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::string path = "/tmp/ksm_fuzz_ini_" + std::to_string(getpid()) + ".ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    static const char* const lookups[][2] = {
        {"main", "field_size"}, {"obj_0", "file"}, {"balls", "count"}, {"", ""}, {"start", "from_x"}};
    char out[INI_BUFFER_SIZE + 1];
    // The index read once gives what the line-mode scan gives.
    IniIndex index;
    index_profile_text((const char*)data, size, &index);
    for (const auto& l : lookups) {
        char scanned[INI_BUFFER_SIZE];
        read_profile_string(path.c_str(), l[0], l[1], "GG=(", scanned, INI_LINE_MODE);
        lookup_profile_string(&index, l[0], l[1], "GG=(", out);
        if (std::strcmp(scanned, out) != 0)
            __builtin_trap();
    }
    for (const auto& l : lookups) {
        for (IniMode mode : {INI_LINE_MODE, INI_TOKEN_MODE}) {
            out[INI_BUFFER_SIZE] = 0x5A;
            read_profile_string(path.c_str(), l[0], l[1], "GG=(", out, mode);
            // The result always fits the 256-byte buffer.
            if (std::strlen(out) > 255 || out[INI_BUFFER_SIZE] != 0x5A)
                __builtin_trap();
        }
    }
    return 0;
}
