// Heap strings, string lists, comparison and line output.
#include "support/strings.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "support/diagnostics.h"

namespace {

// Only the 26 ASCII letters fold, whatever the locale.
int FoldLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

bool IsBlankOrTab(char c) {
    return c == ' ' || c == '\t';
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
    size_t length = strlen(folder);
    if (length == 0 || folder[length - 1] == '\\')
        return StrCat2(folder, name);
    return StrCat3(folder, "\\", name);
}

int StrCompareNoCase(const char *first, const char *second) {
    for (;; first++, second++) {
        if (*first == '\0')
            return 0 - static_cast<signed char>(*second);
        if (*second == '\0')
            return static_cast<signed char>(*first);
        signed char a = static_cast<signed char>(FoldLower(static_cast<unsigned char>(*first)));
        signed char b = static_cast<signed char>(FoldLower(static_cast<unsigned char>(*second)));
        if (a < b)
            return -1;
        if (a > b)
            return 1;
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
