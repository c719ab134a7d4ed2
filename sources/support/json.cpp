// JSON text for the machine-readable listing.
#include "support/json.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "support/diagnostics.h"
#include "support/strings.h"

namespace {

// The longest output of one input byte: a C0 control as \u00XX.
constexpr size_t kWorstPerByte = 6;

bool Continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at text (its code point in *point), or 0
// when none begins there (overlong forms, surrogates and values past U+10FFFF
// included).
int DecodeUtf8(const unsigned char *text, uint32_t *point) {
    unsigned char lead = text[0];
    if (lead < 0x80) {
        *point = lead;
        return 1;
    }
    int length;
    uint32_t low, high; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, low = 0x80, high = 0xBF;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text[1] < low || text[1] > high)
        return 0;
    for (int i = 2; i < length; ++i)
        if (!Continuation(text[i]))
            return 0;
    uint32_t value = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i)
        value = (value << 6) | (text[i] & 0x3F);
    *point = value;
    return length;
}

} // namespace

char *JsonString(const char *utf8) {
    size_t length = strlen(utf8);
    if (length > (INT32_MAX - 3) / kWorstPerByte)
        Fatal("Out of memory");
    char *json = static_cast<char *>(MemAlloc(static_cast<int32_t>(length * kWorstPerByte + 3)));
    char *out = json;
    *out++ = '"';
    const unsigned char *in = reinterpret_cast<const unsigned char *>(utf8);
    while (*in) {
        uint32_t point = 0;
        int size = DecodeUtf8(in, &point);
        if (size == 0) {
            memcpy(out, "\xEF\xBF\xBD", 3);
            out += 3;
            ++in;
            continue;
        }
        const char *named = point == '"'    ? "\\\""
                            : point == '\\' ? "\\\\"
                            : point == '\b' ? "\\b"
                            : point == '\f' ? "\\f"
                            : point == '\n' ? "\\n"
                            : point == '\r' ? "\\r"
                            : point == '\t' ? "\\t"
                                            : nullptr;
        if (named) {
            size_t n = strlen(named);
            memcpy(out, named, n);
            out += n;
        } else if (point < 0x20 || (point >= 0x7F && point <= 0x9F)) {
            // Within the room: six characters for at least one input byte.
            snprintf(out, 7, "\\u%04X", static_cast<unsigned>(point));
            out += 6;
        } else {
            memcpy(out, in, static_cast<size_t>(size));
            out += size;
        }
        in += size;
    }
    *out++ = '"';
    *out = '\0';
    return json;
}
