// Heap strings, string lists, comparison and line output.
#include "support/strings.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"
#include "support/diagnostics.h"

namespace {

// Only the 26 ASCII letters fold, whatever the locale.
int FoldLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
}

// Bytes in one character: 2 for a lead byte and the byte after it, else 1.
size_t CharSize(const char *text) {
    return OsLeadByte(static_cast<unsigned char>(text[0])) && text[1] != '\0' ? 2 : 1;
}

// Whether the character at text is the one at part, single-byte letters folded.
bool SameChar(const char *text, const char *part, size_t size) {
    if (size == 1)
        return FoldLower(static_cast<unsigned char>(*text)) ==
               FoldLower(static_cast<unsigned char>(*part));
    return text[0] == part[0] && text[1] == part[1];
}

bool Continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

} // namespace

void *MemAlloc(int32_t size) {
    // A negative size is a request no heap can meet; malloc(0) may give null.
    void *block = size < 0 ? nullptr : malloc(size > 0 ? static_cast<size_t>(size) : 1);
    if (!block)
        Fatal("Out of memory");
    return block;
}

char *StrDup(const char *text) {
    size_t length = strlen(text);
    char *copy = static_cast<char *>(malloc(length + 1));
    if (!copy)
        Fatal("out of memory");
    memcpy(copy, text, length + 1);
    return copy;
}

static char *Concat(const char *const *parts, int count) {
    size_t lengths[3];
    size_t total = 0;
    for (int i = 0; i < count; i++) {
        lengths[i] = strlen(parts[i]);
        total += lengths[i];
    }
    char *result = static_cast<char *>(malloc(total + 1));
    if (!result)
        Fatal("Out of memory");
    char *end = result;
    for (int i = 0; i < count; i++) {
        memcpy(end, parts[i], lengths[i]);
        end += lengths[i];
    }
    *end = '\0';
    return result;
}

char *StrCat2(const char *first, const char *second) {
    const char *parts[] = {first, second};
    return Concat(parts, 2);
}

char *StrCat3(const char *first, const char *second, const char *third) {
    const char *parts[] = {first, second, third};
    return Concat(parts, 3);
}

void StrAssign(char **slot, const char *text) {
    // Copy before releasing, so the slot's own text may be passed in.
    char *copy = StrDup(text);
    free(*slot);
    *slot = copy;
}

char *PathJoin(const char *folder, const char *name) {
    if (*folder == '\0' || EndsWithChar(folder, '\\'))
        return StrCat2(folder, name);
    return StrCat3(folder, "\\", name);
}

const char *NextChar(const char *text) {
    return *text == '\0' ? text : text + CharSize(text);
}

bool EndsWithChar(const char *text, char c) {
    const char *last = nullptr;
    for (; *text != '\0'; text = NextChar(text))
        last = text;
    return last != nullptr && last[0] == c && last[1] == '\0';
}

const char *LastChar(const char *text, char c) {
    const char *found = nullptr;
    for (; *text != '\0'; text = NextChar(text))
        if (*text == c && CharSize(text) == 1)
            found = text;
    return found;
}

const char *FileName(const char *path) {
    const char *slash = LastChar(path, '\\');
    return slash ? slash + 1 : path;
}

const char *FindNoCase(const char *text, const char *part) {
    for (;; text = NextChar(text)) {
        const char *t = text;
        const char *p = part;
        while (*p != '\0' && CharSize(t) == CharSize(p) && SameChar(t, p, CharSize(p))) {
            t = NextChar(t);
            p = NextChar(p);
        }
        if (*p == '\0')
            return text;
        if (*text == '\0')
            return nullptr;
    }
}

int StrCompareNoCase(const char *first, const char *second) {
    bool trail = false; // at the second bytes of two equal double-byte characters
    for (;; first++, second++) {
        if (*first == '\0')
            return 0 - static_cast<signed char>(*second);
        if (*second == '\0')
            return static_cast<signed char>(*first);
        unsigned char a = static_cast<unsigned char>(*first);
        unsigned char b = static_cast<unsigned char>(*second);
        signed char x = static_cast<signed char>(trail ? a : FoldLower(a));
        signed char y = static_cast<signed char>(trail ? b : FoldLower(b));
        if (x < y)
            return -1;
        if (x > y)
            return 1;
        trail = !trail && OsLeadByte(a);
    }
}

int StrNCompareNoCase(const char *first, const char *second, size_t n) {
    for (size_t i = 0; i < n; i++) {
        int a = FoldLower(static_cast<unsigned char>(first[i]));
        int b = FoldLower(static_cast<unsigned char>(second[i]));
        if (a != b)
            return a - b;
        if (a == 0)
            break;
    }
    return 0;
}

char *TrimRight(char *text) {
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == ' ')
        length--;
    text[length] = '\0';
    return text;
}

const char *SkipBlanks(const char *text) {
    while (IsBlankOrTab(*text))
        text++;
    return text;
}

char *SkipBlanks(char *text) {
    while (IsBlankOrTab(*text))
        text++;
    return text;
}

void StrUpper(char *text) {
    for (; *text; text++) {
        if (*text >= 'a' && *text <= 'z')
            *text = static_cast<char>(*text - ('a' - 'A'));
    }
}

StringList ListNew(int n) {
    if (n < 0)
        n = 0;
    StringList list =
        static_cast<StringList>(malloc((static_cast<size_t>(n) + 1) * sizeof(char *)));
    if (!list)
        Fatal("Out of memory");
    for (int i = 0; i < n; i++)
        list[i] = StrDup("");
    list[n] = nullptr;
    return list;
}

char *ListAppend(StringList *list, const char *text) {
    int n = ListCount(*list);
    StringList grown =
        static_cast<StringList>(malloc((static_cast<size_t>(n) + 2) * sizeof(char *)));
    if (!grown)
        Fatal("Out of memory");
    if (n > 0)
        memcpy(grown, *list, static_cast<size_t>(n) * sizeof(char *));
    free(*list);
    grown[n] = StrDup(text);
    grown[n + 1] = nullptr;
    *list = grown;
    return grown[n];
}

void ListFreeItems(StringList list) {
    for (; *list; list++)
        free(*list);
}

int ListCount(StringList list) {
    int n = 0;
    while (list[n])
        n++;
    return n;
}

void PutLine(FILE *stream, const char *text) {
    fprintf(stream, "%s\n", text);
}

void PutEscaped(FILE *stream, const char *text) {
    for (; *text != '\0'; ++text) {
        unsigned char c = static_cast<unsigned char>(*text);
        if (c == '\n')
            fputs("\\n", stream);
        else if (c == '\r')
            fputs("\\r", stream);
        else if (c == '\t')
            fputs("\\t", stream);
        else if (c < 0x20 || c == 0x7F)
            fprintf(stream, "\\x%02X", c);
        else
            fputc(c, stream);
    }
}

char *JoinLines(char *text) {
    for (char *c = text; *c != '\0'; ++c)
        if (*c == '\r' || *c == '\n')
            *c = ' ';
    return text;
}

void FormatDecimal(char *buf, size_t size, int value) {
    snprintf(buf, size, "%d", value);
}

void FormatSectionHeader(char *buf, size_t size, const char *name) {
    snprintf(buf, size, "[%s]", name);
}

DecimalText ReadDecimal(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    DecimalText number = {0, true, p, 0};
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (value <= INT_MAX + 1LL) // beyond that it is out of range anyway
            value = value * 10 + (*p - '0');
    number.typedLength = static_cast<int>(p - number.typed);
    if (negative)
        value = -value;
    if (value < INT_MIN || value > INT_MAX)
        number.inRange = false;
    else
        number.value = static_cast<int>(value);
    return number;
}

int Utf8Sequence(const unsigned char *text, uint32_t *point) {
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
