// ksm_compiler entry point.
#include <cstdio>

static const char* const COMPILER_TITLE = "Kestrion Map Compiler v 1.04c";
static const char* const COMPILER_NOTICE = "Compiles a map description and its 3DS meshes into a .ksm map.";

int main(int argc, char** argv)
{
    (void)argv;
    std::printf("%s\n%s\n", COMPILER_TITLE, COMPILER_NOTICE);
    if (argc < 2) {
        std::printf("ksm_compiler <map_file> [end_file] [src_dir]\n");
        std::printf("Examples:  ksm_compiler test.ksd\n");
        std::printf("           ksm_compiler test.ksd test.ksm\n");
        std::printf("           ksm_compiler test.ksd test.ksm src\n");
        return 2;
    }
    return 1;
}
