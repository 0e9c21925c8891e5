// Replays inputs through a fuzz target without libFuzzer: every file of the
// directories (or files) named on the command line is run once. Used by the
// normal test suite for the seed corpus and for every input that ever
// crashed a target.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool replay_file(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::printf("cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        bytes.push_back((uint8_t)c);
    std::fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char** argv)
{
    int files = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0)
            continue;  // an absent regression folder means no regressions yet
        if (!S_ISDIR(st.st_mode)) {
            ok = replay_file(argv[i]) && ok;
            ++files;
            continue;
        }
        DIR* d = opendir(argv[i]);
        if (!d)
            continue;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == ".." || name == "README")
                continue;
            ok = replay_file(std::string(argv[i]) + "/" + name) && ok;
            ++files;
        }
        closedir(d);
    }
    std::printf("replayed %d inputs\n", files);
    return ok && files > 0 ? 0 : 1;
}
