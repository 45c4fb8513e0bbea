// fuzz_version.cpp: fuzz target for the version lookup on arbitrary file contents (ELF reader and value
// query).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform.h"

namespace {

// The banner's query and a few others, in any mix of case as the lookup ignores it.
const char *const QUERIES[] = {
    "\\StringFileInfo\\000004B0\\FileVersion",
    "\\StringFileInfo\\000004b0\\productversion",
    "\\StringFileInfo\\000004b0\\LegalCopyright",
    "\\StringFileInfo\\000004b0\\NoSuchValue",
    "",
};

char file_name[TEXT_SIZE];
int file = -1;

void remove_file() { unlink(file_name); }

// A value found must lie in the block and end inside it.
void check_value(const char *block, uint32_t size, const char *value) {
    if (value < block || value >= block + size || std::memchr(value, 0, block + size - value) == nullptr)
        std::abort();
}

} // namespace

// One regular file for the whole run, rewritten for every input: the lookup takes a file name.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *dir = std::getenv("TMPDIR");
    std::snprintf(file_name, sizeof file_name, "%s/kadron-fuzz-version-XXXXXX",
                  dir != nullptr && *dir != '\0' ? dir : "/tmp");
    file = mkstemp(file_name);
    if (file < 0) return 1;
    std::atexit(remove_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (file < 0 || ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    const uint32_t info_size = platform_version_info_size(file_name);
    if (info_size == 0) return 0;
    char *block = static_cast<char *>(platform_alloc_zeroed(info_size));
    if (block == nullptr) std::abort();
    if (platform_read_version_info(file_name, info_size, block)) {
        for (const char *query : QUERIES) {
            const char *value = nullptr;
            if (platform_query_version_value(block, query, &value)) check_value(block, info_size, value);
        }
    }
    platform_free(block);

    // A block one byte short must be refused, never overrun.
    char *short_block = static_cast<char *>(std::malloc(info_size - 1));
    if (platform_read_version_info(file_name, info_size - 1, short_block)) std::abort();
    std::free(short_block);
    return 0;
}
