// The argument list: splitting the command line and taking entries out of it.
#include "main/args.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "support/diagnostics.h"
#include "support/strings.h"

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void RemoveEntry(int *count, char **list, int index) {
    for (int i = index; i < *count - 1; ++i)
        list[i] = list[i + 1];
    *count -= 1;
    list[*count] = nullptr;
}

// Reads the entry that starts at p (a non-separator) into entry, when there is
// one to fill, and returns the position after it.
const char *ScanEntry(const char *p, char *entry) {
    size_t length = 0;
    if (*p == '"') {
        ++p;
        while (*p != '\0') {
            if (*p == '"') {
                if (p[1] == '"') {
                    if (entry)
                        entry[length++] = '"';
                    p += 2;
                    continue;
                }
                ++p;
                break;
            }
            if (entry)
                entry[length++] = *p;
            ++p;
        }
    } else {
        while (*p != '\0' && !IsSeparator(*p)) {
            if (entry)
                entry[length++] = *p;
            ++p;
        }
    }
    if (entry)
        entry[length] = '\0';
    return p;
}

const char *SkipSeparators(const char *p) {
    while (IsSeparator(*p))
        ++p;
    return p;
}

} // namespace

int ArgsSplit(const char *text, int limit, char **list) {
    // One work buffer as long as the whole text holds any entry.
    char *entry = static_cast<char *>(malloc(strlen(text) + 1));
    if (entry == nullptr)
        Fatal("out of memory");
    int count = 0;
    const char *p = SkipSeparators(text);
    while (count < limit && *p != '\0') {
        p = SkipSeparators(ScanEntry(p, entry));
        list[count++] = StrDup(entry);
    }
    list[count] = nullptr;
    free(entry);
    return count;
}

int ArgsCount(const char *text) {
    int count = 0;
    for (const char *p = SkipSeparators(text); *p != '\0';
         p = SkipSeparators(ScanEntry(p, nullptr)))
        ++count;
    return count;
}

bool ArgsTake(int *count, char **list, const char *word) {
    for (int i = 0; i < *count; ++i) {
        const char *a = list[i];
        const char *b = word;
        while (*a != '\0' && *b != '\0' &&
               tolower(static_cast<unsigned char>(*a)) == tolower(static_cast<unsigned char>(*b))) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0') {
            RemoveEntry(count, list, i);
            return true;
        }
    }
    return false;
}

const char *ArgsTakeValue(int *count, char **list, const char *prefix, const char *fallback) {
    size_t n = strlen(prefix);
    for (int i = 0; i < *count; ++i) {
        if (StrNCompareNoCase(list[i], prefix, n) == 0) {
            const char *value = list[i] + n; // the removed entry stays allocated
            RemoveEntry(count, list, i);
            return value;
        }
    }
    return fallback;
}
