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
        int size = Utf8Sequence(in, &point);
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
