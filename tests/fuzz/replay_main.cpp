// replay_main.cpp: runs a fuzz target once on each file it is given (or each file in a given directory).
//
// Linked with one target in the ordinary and sanitizer builds, so the kept
// corpus and the regression cases run with every test run, libFuzzer or not.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

// The fuzz script caps inputs at this size too.
constexpr long MAX_INPUT_SIZE = 65536;
constexpr std::size_t PATH_SIZE = 4096;

bool replay_file(const char *path) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    unsigned char *data = static_cast<unsigned char *>(std::malloc(MAX_INPUT_SIZE));
    const std::size_t size = std::fread(data, 1, MAX_INPUT_SIZE, f);
    const bool whole = std::feof(f) != 0;
    std::fclose(f);
    if (whole) LLVMFuzzerTestOneInput(data, size);
    std::free(data);
    return whole;
}

// Replays path, or every regular file directly in it; the number replayed, -1 on error.
int replay(const char *path) {
    struct stat st {};
    if (stat(path, &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) return replay_file(path) ? 1 : -1;
    DIR *dir = opendir(path);
    if (dir == nullptr) return -1;
    int count = 0;
    for (const dirent *entry = readdir(dir); entry != nullptr && count >= 0; entry = readdir(dir)) {
        char file[PATH_SIZE];
        std::snprintf(file, sizeof file, "%s/%s", path, entry->d_name);
        if (entry->d_name[0] == '.' || stat(file, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        count = replay_file(file) ? count + 1 : -1;
    }
    closedir(dir);
    return count;
}

} // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    int total = 0;
    for (int i = 1; i < argc; ++i) {
        const int count = replay(argv[i]);
        if (count < 0) {
            std::fprintf(stderr, "cannot replay %s\n", argv[i]);
            return 1;
        }
        std::fprintf(stderr, "%s: %d inputs\n", argv[i], count);
        total += count;
    }
    // No input at all is a broken test, not a pass.
    return total > 0 ? 0 : 1;
}
