// version_file_posix.cpp: the version data of an executable on POSIX, read from its ELF section.
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "text.h"

namespace {

// The section that carries the version data (see version_posix.cpp).
const char VERSION_SECTION[] = ".kadron_version";
constexpr uint64_t MAX_VERSION_SIZE = 65536;
// Two zero bytes after the data end the list of a damaged section too.
constexpr uint32_t VERSION_GUARD_SIZE = 2;

bool is_regular_file(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool join_path(char *out, std::size_t size, const char *dir, std::size_t dir_length, const char *name) {
    const int n = std::snprintf(out, size, "%.*s/%s", static_cast<int>(dir_length), dir, name);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

// Finds the file a name refers to as the Windows loader would for its own
// image: a name with a directory as it is; a bare name in the directory of
// the running executable, then the current directory, then the search path.
bool locate_file(const char *name, char *path, std::size_t size) {
    if (std::strchr(name, '/') != nullptr || name[0] == '\0') {
        return std::snprintf(path, size, "%s", name) < static_cast<int>(size);
    }
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        const char *slash = std::strrchr(self, '/');
        if (slash != nullptr && join_path(path, size, self, static_cast<std::size_t>(slash - self), name) &&
            is_regular_file(path)) {
            return true;
        }
    }
    if (is_regular_file(name)) return std::snprintf(path, size, "%s", name) < static_cast<int>(size);
    const char *search = std::getenv("PATH");
    while (search != nullptr && *search != '\0') {
        const char *end = std::strchr(search, ':');
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - search) : std::strlen(search);
        if (length > 0 && join_path(path, size, search, length, name) && is_regular_file(path)) return true;
        search = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

bool read_exactly(int fd, void *out, std::size_t size, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Finds the version section in an ELF file of either class.
template <typename Ehdr, typename Shdr> bool find_section(int fd, uint64_t *offset, uint64_t *size) {
    Ehdr header{};
    if (!read_exactly(fd, &header, sizeof header, 0)) return false;
    if (header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0 || header.e_shstrndx >= header.e_shnum) {
        return false;
    }
    Shdr names{};
    if (!read_exactly(fd, &names, sizeof names,
                      header.e_shoff + uint64_t{header.e_shstrndx} * sizeof(Shdr))) {
        return false;
    }
    for (uint16_t i = 0; i < header.e_shnum; ++i) {
        Shdr section{};
        if (!read_exactly(fd, &section, sizeof section, header.e_shoff + uint64_t{i} * sizeof(Shdr)))
            return false;
        char name[sizeof VERSION_SECTION] = {};
        if (section.sh_name >= names.sh_size) continue;
        if (!read_exactly(fd, name, sizeof name, names.sh_offset + section.sh_name)) continue;
        if (std::memcmp(name, VERSION_SECTION, sizeof name) == 0 && section.sh_type == SHT_PROGBITS) {
            *offset = section.sh_offset;
            *size = section.sh_size;
            return true;
        }
    }
    return false;
}

// Opens the file that name refers to and finds its version data. -1: none.
int open_version_data(const char *name, uint64_t *offset, uint64_t *size) {
    char path[PATH_MAX];
    if (!locate_file(name, path, sizeof path)) return -1;
    // Non-blocking: a name may well be a FIFO or a device, and opening must not hang.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st {};
    unsigned char ident[EI_NIDENT] = {};
    bool found = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read_exactly(fd, ident, sizeof ident, 0) &&
        std::memcmp(ident, ELFMAG, SELFMAG) == 0) {
        if (ident[EI_CLASS] == ELFCLASS64) found = find_section<Elf64_Ehdr, Elf64_Shdr>(fd, offset, size);
        if (ident[EI_CLASS] == ELFCLASS32) found = find_section<Elf32_Ehdr, Elf32_Shdr>(fd, offset, size);
    }
    if (!found || *size == 0 || *size > MAX_VERSION_SIZE) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

uint32_t platform_version_info_size(const char *file_name) {
    uint64_t offset = 0;
    uint64_t size = 0;
    const int fd = open_version_data(file_name, &offset, &size);
    if (fd < 0) return 0;
    close(fd);
    return static_cast<uint32_t>(size) + VERSION_GUARD_SIZE;
}

bool platform_read_version_info(const char *file_name, uint32_t size, void *block) {
    uint64_t offset = 0;
    uint64_t data_size = 0;
    const int fd = open_version_data(file_name, &offset, &data_size);
    if (fd < 0) return false;
    // The file may have changed since its size was asked: never more than fits.
    const bool ok = data_size + VERSION_GUARD_SIZE <= size && read_exactly(fd, block, data_size, offset);
    close(fd);
    if (ok) std::memset(static_cast<char *>(block) + data_size, 0, size - data_size);
    return ok;
}

bool platform_query_version_value(const void *block, const char *path, const char **value) {
    for (const char *key = static_cast<const char *>(block); *key != '\0';) {
        const char *text = key + std::strlen(key) + 1;
        if (compare_no_case(key, path) == 0) {
            *value = text;
            return true;
        }
        if (*text == '\0') break; // a key without a value: the end of what was read
        key = text + std::strlen(text) + 1;
    }
    return false;
}
