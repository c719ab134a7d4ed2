// Fuzz target of the JSON string writer. Properties: the output is one JSON
// string of valid UTF-8 with no raw control character, and a small decoder
// reads it back to the input whenever the input is valid UTF-8 (any other
// input decodes to the same text with U+FFFD in place of its stray bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/json.h"

namespace {

[[noreturn]] void Fail() {
    abort();
}

// Length of the valid UTF-8 sequence at s (within n bytes), else 0.
size_t Utf8Length(const unsigned char *s, size_t n) {
    if (s[0] < 0x80)
        return 1;
    size_t length = s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 ? 2 : 0;
    if (length == 0 || s[0] > 0xF4 || length > n)
        return 0;
    uint32_t point = s[0] & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        point = (point << 6) | (s[i] & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0;
    return length;
}

void PutUtf8(std::string &out, uint32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Decodes one JSON string; aborts on anything a JSON reader would refuse.
std::string Decode(const std::string &json) {
    if (json.size() < 2 || json.front() != '"' || json.back() != '"')
        Fail();
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(json.data());
    size_t end = json.size() - 1;
    for (size_t i = 1; i < end;) {
        if (s[i] < 0x20 || s[i] == 0x7F || s[i] == '"')
            Fail();
        if (s[i] != '\\') {
            size_t n = Utf8Length(s + i, end - i);
            // Raw C1 controls are not wanted either.
            if (n == 0 || (n == 2 && s[i] == 0xC2 && s[i + 1] < 0xA0))
                Fail();
            out.append(json, i, n);
            i += n;
            continue;
        }
        if (i + 1 >= end)
            Fail();
        char c = static_cast<char>(s[i + 1]);
        const char *plain = strchr("\"\\/bfnrt", c);
        if (c != 'u' && (!plain || c == '\0'))
            Fail();
        if (c == 'u') {
            if (i + 6 > end)
                Fail();
            char hex[5] = {};
            memcpy(hex, s + i + 2, 4);
            char *stop = nullptr;
            uint32_t point = static_cast<uint32_t>(strtoul(hex, &stop, 16));
            if (stop != hex + 4 || (point >= 0xD800 && point <= 0xDFFF))
                Fail();
            PutUtf8(out, point);
            i += 6;
            continue;
        }
        out += "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
        i += 2;
    }
    return out;
}

// The input with each byte that begins no valid sequence replaced by U+FFFD.
std::string Repaired(const std::string &text) {
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t n = Utf8Length(s + i, text.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The writer takes NUL-terminated text: the input up to its first NUL.
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(strlen(text.c_str()));
    char *json = JsonString(text.c_str());
    std::string written = json;
    free(json);
    if (Decode(written) != Repaired(text))
        Fail();
    return 0;
}
