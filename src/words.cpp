// words.cpp: the command-line splitter.
#include "words.h"

namespace {

struct word_sink {
    char *buffer;
    std::size_t size;
    std::size_t used;
    const char **words;
    std::size_t max_words;
    std::size_t count;
    bool overflow;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

void put_char(word_sink *sink, char c) {
    if (sink->used < sink->size) {
        sink->buffer[sink->used++] = c;
    } else {
        sink->overflow = true;
    }
}

void begin_word(word_sink *sink) {
    if (sink->count < sink->max_words && sink->used < sink->size) {
        sink->words[sink->count++] = sink->buffer + sink->used;
    } else {
        sink->overflow = true;
    }
}

// Word 0 is the program name: no backslash or doubled-quote processing.
const char *take_word0(word_sink *sink, const char *p) {
    begin_word(sink);
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            put_char(sink, *p++);
        if (*p == '"') ++p;
    } else {
        while (*p != '\0' && !is_blank(*p))
            put_char(sink, *p++);
    }
    put_char(sink, '\0');
    return p;
}

// One later word; *in_quotes carries an unterminated quote to the end.
const char *take_word(word_sink *sink, const char *p, bool *in_quotes) {
    begin_word(sink);
    for (;;) {
        bool copy = true;
        std::size_t slashes = 0;
        while (*p == '\\') {
            ++p;
            ++slashes;
        }
        if (*p == '"') {
            if (slashes % 2 == 0) {
                if (*in_quotes && p[1] == '"') {
                    ++p; // a doubled quote inside quotes gives one quote
                } else {
                    copy = false;
                }
                *in_quotes = !*in_quotes;
            }
            slashes /= 2;
        }
        for (; slashes > 0; --slashes)
            put_char(sink, '\\');
        if (*p == '\0' || (!*in_quotes && is_blank(*p))) break;
        if (copy) put_char(sink, *p);
        ++p;
    }
    put_char(sink, '\0');
    return p;
}

} // namespace

bool split_words(const char *text, const char *empty_word0, char *buffer, std::size_t buffer_size,
                 const char **words, std::size_t max_words, std::size_t *word_count) {
    word_sink sink{buffer, buffer_size, 0, words, max_words, 0, false};
    if (*text == '\0') {
        begin_word(&sink);
        for (const char *q = empty_word0; *q != '\0'; ++q)
            put_char(&sink, *q);
        put_char(&sink, '\0');
    } else {
        const char *p = take_word0(&sink, text);
        bool in_quotes = false;
        for (;;) {
            while (is_blank(*p))
                ++p;
            if (*p == '\0') break;
            p = take_word(&sink, p, &in_quotes);
        }
    }
    if (sink.overflow) {
        if (buffer_size > 0) buffer[buffer_size - 1] = '\0';
        *word_count = 0;
        return false;
    }
    *word_count = sink.count;
    return true;
}
