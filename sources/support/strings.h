// Heap strings, string lists, comparison and line output.
#pragma once

#include <cstdint>
#include <cstdio>

// A heap array of heap strings ended by a null entry; no stored count.
using StringList = char **;

void *MemAlloc(int32_t size);
char *StrDup(const char *text);
char *StrCat2(const char *first, const char *second);
char *StrCat3(const char *first, const char *second, const char *third);
void StrAssign(char **slot, const char *text);
char *PathJoin(const char *folder, const char *name);

int StrCompareNoCase(const char *first, const char *second);
// The first n characters compared ignoring ASCII case (the _strnicmp rules).
int StrNCompareNoCase(const char *first, const char *second, size_t n);
char *TrimRight(char *text);
const char *SkipBlanks(const char *text);
char *SkipBlanks(char *text);
void StrUpper(char *text);

StringList ListNew(int n);
char *ListAppend(StringList *list, const char *text);
void ListFreeItems(StringList list);
int ListCount(StringList list);

void PutLine(FILE *stream, const char *text);

// Fixed formats into the caller's buffer, always bounded by its size.
void FormatDecimal(char *buf, size_t size, int value);
void FormatSectionHeader(char *buf, size_t size, const char *name);

// A number read by the atoi rules (leading white space, an optional sign, the
// digits up to the first other character; no digits give 0), without atoi's
// undefined result beyond the int range.
struct DecimalText {
    int value;         // 0 when out of range
    bool inRange;      // false beyond the int range
    const char *typed; // the number as typed, its sign and digits:
    int typedLength;   // typedLength characters from here
};
DecimalText ReadDecimal(const char *text);
