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

// Texts are in the system's ANSI code page. In a double-byte one (932, 936,
// 949, 950) a lead byte and the byte after it are one character, and that
// second byte may be a backslash or a letter: so texts are split, searched and
// compared by characters, and only single-byte letters fold.
const char *NextChar(const char *text);         // the next character; text itself at the end
bool EndsWithChar(const char *text, char c);    // the last character is the byte c
const char *LastChar(const char *text, char c); // the last character c, or null
// The file name of a path: what follows its last backslash.
const char *FileName(const char *path);
// Where part first occurs in text, matched at the text's character boundaries
// with the 26 ASCII letters folded; null when nowhere. Every text holds "".
const char *FindNoCase(const char *text, const char *part);

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
// Writes the text with each control byte (below 0x20, and 0x7F) as \n, \r, \t
// or \xNN, so that it stays on its line.
void PutEscaped(FILE *stream, const char *text);
// Turns each carriage return and line feed of the text into a blank, in place.
char *JoinLines(char *text);

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

// Length of the valid UTF-8 sequence at text (its code point in *point), or 0
// when none begins there (overlong forms, surrogates and values past U+10FFFF
// included). The text ends in a NUL, which no sequence holds.
int Utf8Sequence(const unsigned char *text, uint32_t *point);
