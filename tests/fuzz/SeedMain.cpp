// Runs a fuzz target's entry point over every file of the folders given, so
// that builds without libFuzzer (every normal and sanitizer build) still
// put the committed seeds through each target.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        DIR *d = opendir(argv[i]);
        if (!d) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream in(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++files;
        }
        closedir(d);
    }
    std::printf("%d inputs\n", files);
    return files > 0 ? 0 : 1;
}
