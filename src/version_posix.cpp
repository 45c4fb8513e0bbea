// version_posix.cpp: the tool's version data, carried in a section of its own executable.
//
// Linux has no version resources; the banner reads this section from the
// file it was started as, just as Windows reads the resource. Each entry is a
// query path and its value, both zero-terminated; an empty path ends the list.
#include "version_info.h"

#define KADRON_STRING(key, value) "\\StringFileInfo\\" KADRON_STRING_BLOCK "\\" key "\0" value "\0"
#define KADRON_REGISTERED "\xC2\xAE" // UTF-8

// clang-format off
extern "C" __attribute__((section(".kadron_version"), used)) const char kadron_version_data[] =
    KADRON_STRING("FileVersion", KADRON_FILE_VERSION_TEXT)
    KADRON_STRING("ProductVersion", KADRON_PRODUCT_VERSION_TEXT)
    KADRON_STRING("InternalName", KADRON_INTERNAL_NAME)
    KADRON_STRING("OriginalFilename", KADRON_ORIGINAL_FILENAME)
    KADRON_STRING("FileDescription", KADRON_PRODUCT_NAME(KADRON_REGISTERED))
    KADRON_STRING("ProductName", KADRON_PRODUCT_NAME(KADRON_REGISTERED))
    KADRON_STRING("PrivateBuild", KADRON_PRIVATE_BUILD(KADRON_REGISTERED))
    KADRON_STRING("SpecialBuild", KADRON_SPECIAL_BUILD)
    KADRON_STRING("Comments", KADRON_COMMENTS)
    KADRON_STRING("CompanyName", KADRON_COMPANY_NAME)
    KADRON_STRING("LegalCopyright", KADRON_LEGAL_COPYRIGHT)
    KADRON_STRING("LegalTrademarks", KADRON_LEGAL_TRADEMARKS);
// clang-format on
