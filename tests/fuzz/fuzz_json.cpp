// fuzz_json.cpp: fuzz target for the run record's JSON string writer: always valid JSON, and valid UTF-8
// reads back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "run_record.h"

namespace {

// The UTF-8 sequence at p (n bytes left): its length and code point; 0 when invalid.
std::size_t decode_utf8(const uint8_t *p, std::size_t n, uint32_t *code) {
    const uint8_t c = p[0];
    std::size_t length = 0;
    uint32_t min = 0;
    if (c < 0x80) {
        *code = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        length = 2, min = 0x80, *code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, min = 0x800, *code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, *code = c & 0x07;
    } else {
        return 0;
    }
    if (n < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        *code = *code << 6 | (p[i] & 0x3F);
    }
    if (*code < min || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) return 0;
    return length;
}

bool valid_utf8(const uint8_t *p, std::size_t n) {
    uint32_t code = 0;
    for (std::size_t i = 0; i < n;) {
        const std::size_t length = decode_utf8(p + i, n - i, &code);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads the JSON string in text back into out (as bytes where every \u00xx is
// one byte, as the writer means it); false when it is not a valid JSON string.
bool read_back(const uint8_t *text, std::size_t n, uint8_t *out, std::size_t *out_length) {
    if (n < 2 || text[0] != '"' || text[n - 1] != '"' || !valid_utf8(text, n)) return false;
    std::size_t length = 0;
    for (std::size_t i = 1; i < n - 1; ++i) {
        const uint8_t c = text[i];
        if (c < 0x20 || c == '"') return false;
        if (c != '\\') {
            out[length++] = c;
            continue;
        }
        if (++i >= n - 1) return false;
        switch (text[i]) {
        case '"':
        case '\\':
            out[length++] = text[i];
            break;
        case 'n':
            out[length++] = '\n';
            break;
        case 'r':
            out[length++] = '\r';
            break;
        case 't':
            out[length++] = '\t';
            break;
        case 'u': {
            if (i + 4 >= n - 1 || text[i + 1] != '0' || text[i + 2] != '0') return false;
            const int high = hex_value(text[i + 3]);
            const int low = hex_value(text[i + 4]);
            if (high < 0 || low < 0) return false;
            out[length++] = static_cast<uint8_t>(high << 4 | low);
            i += 4;
            break;
        }
        default:
            return false;
        }
    }
    *out_length = length;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    // Room for the worst case: every byte escaped, and the quotes.
    const std::size_t room = 6 * size + 3;
    char *buffer = static_cast<char *>(std::malloc(room));
    json_text j;
    json_start(&j, buffer, room);
    json_add_string(&j, reinterpret_cast<const char *>(data), size);
    if (j.overflow || j.length >= room || buffer[j.length] != '\0') std::abort();
    uint8_t *back = static_cast<uint8_t *>(std::malloc(j.length + 1));
    std::size_t back_length = 0;
    if (!read_back(reinterpret_cast<const uint8_t *>(buffer), j.length, back, &back_length)) std::abort();
    // Every byte of valid UTF-8 comes back as it was; the rest as the byte's own value.
    if (back_length != size || (size > 0 && std::memcmp(back, data, size) != 0)) std::abort();
    std::free(back);
    std::free(buffer);
    return 0;
}
