// words_test.cpp: the command-line splitter against the classic runtime's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "words.h"

namespace {

struct split_sample {
    int row;
    const char *text;
    std::vector<std::string> words;
};

// Command-line texts and the words the classic rules give; "<own name>"
// stands for the word an empty text gets.
const split_sample SAMPLES[] = {
    {0, "", {"<own name>"}},
    {1, " sample.txt", {"", "sample.txt"}},
    {2, "\tsample.txt", {"", "sample.txt"}},
    {3, "p a\tb  c\t\td", {"p", "a", "b", "c", "d"}},
    {4, "p \"\" x", {"p", "", "x"}},
    {5, "p \"\"", {"p", ""}},
    {6, "p x \"", {"p", "x", ""}},
    {7, "p a\"b c\"d e", {"p", "ab cd", "e"}},
    {8, "p \"a b\"c d", {"p", "a bc", "d"}},
    {9, "p \"a\"\"b\" c", {"p", "a\"b c"}},
    {10, "p \"a\"\"\"b\" c", {"p", "a\"b", "c"}},
    {11, "p \"a\"\"b c\" d", {"p", "a\"b", "c d"}},
    {12, "p \"\"\"\" x", {"p", "\" x"}},
    {13, "p \"\"\"\"\"\" x", {"p", "\"\"", "x"}},
    {14, "p \"\"\"a\"\"\" x", {"p", "\"a\"", "x"}},
    {15, "p a\"\"b c", {"p", "ab", "c"}},
    {16, "p a\"\"\"b c\" d", {"p", "a\"b", "c d"}},
    {17, "p a\"b\"\" c d", {"p", "ab\"", "c", "d"}},
    {18, "p \\\"a b", {"p", "\"a", "b"}},
    {19, "p \\\\\"a b\" c", {"p", "\\a b", "c"}},
    {20, "p \\\\\\\"a b", {"p", "\\\"a", "b"}},
    {21, "p a\\\\b c", {"p", "a\\\\b", "c"}},
    {22, "p a\\\\\\b", {"p", "a\\\\\\b"}},
    {23, "p a\\", {"p", "a\\"}},
    {24, "p \"C:\\dir\\\" next", {"p", "C:\\dir\" next"}},
    {25, "p \"C:\\dir\\\\\" next", {"p", "C:\\dir\\", "next"}},
    {26, "p \"a\\\\\\\" b\" c", {"p", "a\\\" b", "c"}},
    {27, "p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
    {28, "p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
    {29, "p \"abc\" d e", {"p", "abc", "d", "e"}},
    {30, "p \"a\tb\" c", {"p", "a\tb", "c"}},
    {31, "p 'a b'", {"p", "'a", "b'"}},
    {32, "p \"unterminated x  y", {"p", "unterminated x  y"}},
    {33, "p *.txt", {"p", "*.txt"}},
    {34, "p \"*.txt\" a?.txt \"a\"?.txt", {"p", "*.txt", "a?.txt", "a?.txt"}},
    {35, "\"C:\\my dir\\probe.exe\" a", {"C:\\my dir\\probe.exe", "a"}},
    {36, "\"pr\"obe a", {"pr", "obe", "a"}},
    {37, "\"pr\"\"obe\" a", {"pr", "obe", "a"}},
    {38, "pr\"o b\"e a", {"pr\"o", "be a"}},
    {39, "C:\\dir\\\"x y\" a", {"C:\\dir\\\"x", "y a"}},
    {40, "C:\\dir\\\\ a", {"C:\\dir\\\\", "a"}},
    {41, "a\\\"b c", {"a\\\"b", "c"}},
    {42, "\"\" a", {"", "a"}},
    {43, "\"unterminated word0 a", {"unterminated word0 a"}},
    {44, "p\ta", {"p", "a"}},
};

std::vector<std::string> split(const char *text, std::size_t buffer_size = 4096, std::size_t max_words = 64,
                               bool *ok = nullptr) {
    std::vector<char> buffer(buffer_size + 1, '#'); // one guard byte past the end
    std::vector<const char *> words(max_words + 1, nullptr);
    std::size_t count = 99;
    const bool result =
        split_words(text, "<own name>", buffer.data(), buffer_size, words.data(), max_words, &count);
    if (ok != nullptr) *ok = result;
    EXPECT_EQ(buffer[buffer_size], '#') << "wrote past the buffer";
    EXPECT_EQ(words[max_words], nullptr) << "wrote past the word table";
    std::vector<std::string> out;
    if (result) {
        for (std::size_t i = 0; i < count; ++i)
            out.emplace_back(words[i]);
    } else {
        EXPECT_EQ(count, 0u);
    }
    return out;
}

} // namespace

TEST(SplitWords, ClassicRuntimeSamples) {
    for (const split_sample &s : SAMPLES) {
        EXPECT_EQ(split(s.text), s.words) << "row " << s.row << ": [" << s.text << "]";
    }
}

TEST(SplitWords, TargetArgumentTextGivesEmptyWordZero) {
    // The argument text always starts with a blank; word 0 is then empty and
    // is replaced by the program path.
    EXPECT_EQ(split(" a \"b c\" $(x) * ;"), (std::vector<std::string>{"", "a", "b c", "$(x)", "*", ";"}));
    EXPECT_EQ(split(" "), (std::vector<std::string>{""}));
}

TEST(SplitWords, RefusesWhatDoesNotFitWithoutWritingPastIt) {
    bool ok = true;
    // "p abc" needs 2 + 4 bytes.
    EXPECT_EQ(split("p abc", 6, 4, &ok), (std::vector<std::string>{"p", "abc"}));
    EXPECT_TRUE(ok);
    split("p abc", 5, 4, &ok);
    EXPECT_FALSE(ok);
    split("p a b c", 64, 3, &ok);
    EXPECT_FALSE(ok);
    split("", 3, 4, &ok); // the own name does not fit
    EXPECT_FALSE(ok);
    split("p", 0, 4, &ok);
    EXPECT_FALSE(ok);
    // A target's text of n characters needs at most n + 1 bytes: " x" gives "" and "x".
    EXPECT_EQ(split(" x", 3, 4, &ok), (std::vector<std::string>{"", "x"}));
    split(" x", 2, 4, &ok);
    EXPECT_FALSE(ok);
}
