// words.h: splits a command-line text into words by the classic Windows C-runtime rules.
//
// One splitter serves the Windows tool's own command line and the argv that
// the POSIX backend builds for a target from its argument text.
#pragma once

#include <cstddef>

// Splits text into words, stored one after another (each with its terminator)
// in buffer; words[i] points into buffer. Word 0 runs to the first blank or
// tab, or between double quotes when the text starts with one, and is taken
// as it stands; an empty text gives empty_word0 as word 0. Later words are cut
// at blanks and tabs; double quotes group and are removed; inside quotes a
// doubled quote gives one quote and ends the quoting; 2n backslashes before a
// quote give n and the quote acts, 2n+1 give n and a literal quote.
// false: buffer or words too small; nothing beyond their sizes is written.
bool split_words(const char *text, const char *empty_word0, char *buffer, std::size_t buffer_size,
                 const char **words, std::size_t max_words, std::size_t *word_count);
