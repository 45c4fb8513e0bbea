// version_check.cpp: test program that reads a file's version resource and icon group through the Windows
// API.
//
// Usage: version_check FILE
// Prints one "key=value" line per field: numbers in hex, sizes in decimal, texts hex-encoded
// byte for byte as VerQueryValueA returns them (ANSI code page), "-" where a
// value is missing. Exits 0 when the version block and the icon group could
// be read at all, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

constexpr WORD ICON_GROUP_ID = 101;

const char *const STRING_NAMES[] = {"Comments",     "CompanyName",    "FileDescription", "FileVersion",
                                    "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
                                    "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild"};

// The icon group as it lies in the resource: packed, with a 16-bit image id.
#pragma pack(push, 2)
struct group_entry {
    BYTE width;
    BYTE height;
    BYTE color_count;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes_in_resource;
    WORD id;
};
struct group_directory {
    WORD reserved;
    WORD type;
    WORD count;
    group_entry entries[1];
};
#pragma pack(pop)

void print_text(const char *key, const char *text) {
    std::printf("%s=", key);
    if (text == nullptr) std::printf("-");
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); p != nullptr && *p != 0; ++p)
        std::printf("%02x", *p);
    std::printf("\n");
}

bool print_version(const char *file) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(file, &handle);
    std::vector<char> block(size);
    if (size == 0 || !GetFileVersionInfoA(file, 0, size, block.data())) {
        std::printf("version=-\n");
        return false;
    }
    LPVOID value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(block.data(), "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const VS_FIXEDFILEINFO *f = static_cast<const VS_FIXEDFILEINFO *>(value);
        std::printf("signature=%08lx\n", f->dwSignature);
        std::printf("file_version=%08lx.%08lx\n", f->dwFileVersionMS, f->dwFileVersionLS);
        std::printf("product_version=%08lx.%08lx\n", f->dwProductVersionMS, f->dwProductVersionLS);
        std::printf("flags_mask=%lx\nflags=%lx\n", f->dwFileFlagsMask, f->dwFileFlags);
        std::printf("os=%lx\ntype=%lx\nsubtype=%lx\n", f->dwFileOS, f->dwFileType, f->dwFileSubtype);
    }
    for (const char *name : STRING_NAMES) {
        char path[64];
        std::snprintf(path, sizeof path, "\\StringFileInfo\\000004b0\\%s", name);
        value = nullptr;
        const bool found = VerQueryValueA(block.data(), path, &value, &length) && value != nullptr;
        print_text(name, found ? static_cast<const char *>(value) : nullptr);
    }
    value = nullptr;
    if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
        const WORD *pair = static_cast<const WORD *>(value);
        std::printf("translation=%04x/%04x\ntranslation_pairs=%u\n", pair[0], pair[1], length / 4);
    }
    return true;
}

bool print_icon(const char *file) {
    const HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const HRSRC group =
        module != nullptr ? FindResourceA(module, MAKEINTRESOURCEA(ICON_GROUP_ID), RT_GROUP_ICON) : nullptr;
    const HGLOBAL loaded = group != nullptr ? LoadResource(module, group) : nullptr;
    const group_directory *dir =
        static_cast<const group_directory *>(loaded ? LockResource(loaded) : nullptr);
    if (dir == nullptr) {
        std::printf("icon_group=-\n");
        if (module != nullptr) FreeLibrary(module);
        return false;
    }
    std::printf("icon_type=%u\nicon_count=%u\n", dir->type, dir->count);
    for (WORD i = 0; i < dir->count; ++i) {
        const group_entry &e = dir->entries[i];
        std::printf("icon%u_size=%ux%u\nicon%u_colours=%u\nicon%u_planes=%u\nicon%u_bits=%u\n", i, e.width,
                    e.height, i, e.color_count, i, e.planes, i, e.bit_count);
        std::printf("icon%u_bytes=%lu\n", i, e.bytes_in_resource);
        const HRSRC image = FindResourceA(module, MAKEINTRESOURCEA(e.id), RT_ICON);
        const HGLOBAL image_data = image != nullptr ? LoadResource(module, image) : nullptr;
        const BITMAPINFOHEADER *h =
            static_cast<const BITMAPINFOHEADER *>(image_data ? LockResource(image_data) : nullptr);
        if (h == nullptr) {
            std::printf("image%u=-\n", i);
            continue;
        }
        std::printf("image%u_size=%ldx%ld\nimage%u_bits=%u\nimage%u_header=%lu\n", i, h->biWidth, h->biHeight,
                    i, h->biBitCount, i, h->biSize);
        std::printf("image%u_bytes=%lu\n", i, SizeofResource(module, image));
    }
    FreeLibrary(module);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: version_check FILE\n");
        return 2;
    }
    std::printf("acp=%u\n", GetACP());
    const bool version = print_version(argv[1]);
    const bool icon = print_icon(argv[1]);
    return version && icon ? 0 : 1;
}
