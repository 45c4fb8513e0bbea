// text.cpp: small text helpers shared by the core and the backends.
#include "text.h"

namespace {

// ASCII only: the locale must not change what a word or a key means.
char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

int compare_no_case(const char *a, const char *b) {
    for (;; ++a, ++b) {
        const unsigned char ca = static_cast<unsigned char>(fold(*a));
        const unsigned char cb = static_cast<unsigned char>(fold(*b));
        if (ca != cb || ca == 0) return ca - cb;
    }
}
