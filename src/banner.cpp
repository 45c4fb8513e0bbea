// banner.cpp: tool line, version of the own executable, maker lines.
#include "banner.h"

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "run_record.h"
#include "text.h"
#include "version_info.h"

namespace {

const char TOOL_LINE_TEXT[] = "Velm KADRON is a tool to run a given program periodically for a given time.\n";
const char VERSION_TEXT[] = "Version %s \n";
// Configured texts may hold a '%': they are arguments, never formats.
const char ATTRIBUTION_TEXT[] = "%s \n";
const char HOMEPAGE_TEXT[] = "Homepage: %s \n\n";
const char NO_VERSION[] = "0, 0, 0, 0";
const char VERSION_QUERY[] = "\\StringFileInfo\\000004B0\\FileVersion";

// The own file name: word 0, with the suffix appended when it is missing.
// false: it does not fit, and is not looked up at all.
bool own_file_name(const char *word_0, char *name, std::size_t size) {
    const char *suffix = platform_executable_suffix();
    const std::size_t length = std::strlen(word_0);
    const std::size_t suffix_length = std::strlen(suffix);
    const bool append = suffix_length > 0 && (length < suffix_length ||
                                              compare_no_case(word_0 + length - suffix_length, suffix) != 0);
    if (length + (append ? suffix_length : 0) >= size) return false;
    std::snprintf(name, size, "%s%s", word_0, append ? suffix : "");
    return true;
}

} // namespace

void show_banner(const char *word_0, char *version, std::size_t version_size) {
    char name[TEXT_SIZE];
    const char *own_file_version = NO_VERSION;
    void *block = nullptr;
    if (own_file_name(word_0, name, sizeof name)) {
        const uint32_t size = platform_version_info_size(name);
        if (size > 0) block = platform_alloc_zeroed(size);
        const char *found = nullptr;
        if (block != nullptr && platform_read_version_info(name, size, block) &&
            platform_query_version_value(block, VERSION_QUERY, &found) && found != nullptr) {
            own_file_version = found;
        }
    }
    std::printf(TOOL_LINE_TEXT);
    std::printf(VERSION_TEXT, own_file_version);
    std::printf(ATTRIBUTION_TEXT, KADRON_LEGAL_COPYRIGHT);
    std::printf(HOMEPAGE_TEXT, KADRON_HOMEPAGE);
    version_with_dots(own_file_version, version, version_size);
    // The version text lies inside the block: release it only now.
    if (block != nullptr) platform_free(block);
}
