// fuzz_words.cpp: fuzz target for the command-line splitter, with buffer and word-count sizes from the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "words.h"

namespace {

// Input: buffer size (2 bytes, little-endian), word slots (1 byte), then the text.
constexpr std::size_t HEADER_SIZE = 3;
const char EMPTY_WORD0[] = "program";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < HEADER_SIZE) return 0;
    const std::size_t buffer_size = data[0] | static_cast<std::size_t>(data[1]) << 8;
    const std::size_t max_words = data[2];
    const std::size_t length = size - HEADER_SIZE;
    // Text, buffer and word slots each in a block of exactly their size: any
    // access beyond one of them is an overrun that the address sanitizer sees.
    char *text = static_cast<char *>(std::malloc(length + 1));
    std::memcpy(text, data + HEADER_SIZE, length);
    text[length] = '\0';
    char *buffer = static_cast<char *>(std::malloc(buffer_size));
    const char **words = static_cast<const char **>(std::malloc(max_words * sizeof *words));

    // No character is ever doubled, and every word after word 0 takes at least
    // one character of the text: one byte per character and one terminator per
    // word, plus the word that stands in for an empty text, always suffice.
    const std::size_t ample_size = 2 * length + sizeof EMPTY_WORD0;
    const std::size_t ample_words = length + 1;
    char *ample = static_cast<char *>(std::malloc(ample_size));
    const char **ample_words_out = static_cast<const char **>(std::malloc(ample_words * sizeof *words));
    std::size_t ample_count = 0;
    if (!split_words(text, EMPTY_WORD0, ample, ample_size, ample_words_out, ample_words, &ample_count))
        std::abort();
    const std::size_t needed = ample_count == 0
                                   ? 0
                                   : static_cast<std::size_t>(ample_words_out[ample_count - 1] - ample) +
                                         std::strlen(ample_words_out[ample_count - 1]) + 1;

    // The small buffer works exactly when the words fit, and then gives the same words.
    std::size_t count = 0;
    const bool fits = needed <= buffer_size && ample_count <= max_words;
    if (split_words(text, EMPTY_WORD0, buffer, buffer_size, words, max_words, &count) != fits) std::abort();
    if (fits) {
        if (count != ample_count) std::abort();
        for (std::size_t i = 0; i < count; ++i) {
            if (words[i] - buffer != ample_words_out[i] - ample ||
                std::strcmp(words[i], ample_words_out[i]) != 0)
                std::abort();
        }
    }

    std::free(ample_words_out);
    std::free(ample);
    std::free(words);
    std::free(buffer);
    std::free(text);
    return 0;
}
