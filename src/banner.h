// banner.h: the identification banner with the version read from the tool's own executable.
#pragma once

#include <cstddef>

// Prints the four banner lines. The version comes from the version data of
// the file that word_0 names (with the OS's executable suffix appended when
// missing); any failure gives "0, 0, 0, 0". Never fails. version gets the
// four numbers shown, joined by dots ("1.0.0.8").
void show_banner(const char *word_0, char *version, std::size_t version_size);
