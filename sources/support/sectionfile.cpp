// Reader of one bracketed section of a settings file.
#include "support/sectionfile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/diagnostics.h"

namespace {

bool OnlyBlanksAndTabs(const char *text) {
    for (; *text; text++) {
        if (*text != ' ' && *text != '\t')
            return false;
    }
    return true;
}

void *Grow(void *block, size_t count, size_t size) {
    void *grown = count <= SIZE_MAX / size ? realloc(block, count * size) : nullptr;
    if (!grown)
        Fatal("out of memory");
    return grown;
}

// Reads the next line, of any length, into *line without its line end (a line
// feed, or a carriage return and a line feed). The file is read in binary, so
// that a Ctrl-Z byte (0x1A) is text like any other. False at the end of the file.
bool ReadLine(FILE *file, char **line, size_t *capacity) {
    size_t length = 0;
    int c;
    while ((c = getc(file)) != EOF && c != '\n') {
        if (length + 1 >= *capacity) {
            *capacity *= 2;
            *line = static_cast<char *>(Grow(*line, *capacity, 1));
        }
        (*line)[length++] = static_cast<char>(c);
    }
    if (c == EOF && length == 0)
        return false;
    if (c == '\n' && length > 0 && (*line)[length - 1] == '\r')
        length--;
    (*line)[length] = '\0';
    return true;
}

// Skips a UTF-8 byte-order mark, as Windows editors write one. A UTF-16 file
// (with its mark, or ASCII text with every other byte NUL) cannot be read as
// ANSI text, and saying so beats reporting every setting missing.
void SkipByteOrderMark(FILE *file, const char *path) {
    unsigned char head[3] = {0, 0, 0};
    size_t got = fread(head, 1, sizeof head, file);
    bool utf16 =
        got >= 2 && ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF) ||
                     ((head[0] == 0) != (head[1] == 0)));
    if (utf16) {
        fclose(file);
        Fatal("%s is saved as UTF-16 (Unicode): save it as ANSI or UTF-8", path);
    }
    if (!(got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF))
        rewind(file);
}

// Whether the rest of the file is UTF-8 that holds more than ASCII, as Notepad
// decides it for a file without a mark: ANSI text with a character past ASCII
// is hardly ever valid UTF-8. The file is read to its end and put back.
bool Utf8Text(FILE *file, char **line, size_t *capacity) {
    long start = ftell(file);
    bool valid = true;
    bool beyondAscii = false;
    while (valid && ReadLine(file, line, capacity)) {
        uint32_t point = 0;
        int size = 0;
        for (auto *c = reinterpret_cast<const unsigned char *>(*line); valid && *c; c += size) {
            size = Utf8Sequence(c, &point);
            valid = size > 0;
            beyondAscii = beyondAscii || size > 1;
        }
    }
    fseek(file, start, SEEK_SET);
    return valid && beyondAscii;
}

} // namespace

int LoadLines(const char *path, const char *section, StringList *lines, SectionPlace *place) {
    FILE *file = fopen(path, "rb");
    if (!file)
        Fatal("LoadLines. %s file missing", path);
    SkipByteOrderMark(file, path);

    char header[256];
    FormatSectionHeader(header, sizeof header, section);
    size_t headerLength = strlen(header);

    size_t capacity = 256;
    char *line = static_cast<char *>(Grow(nullptr, capacity, 1));
    bool utf8 = Utf8Text(file, &line, &capacity);
    bool found = false;
    int number = 0;
    while (!found && ReadLine(file, &line, &capacity)) {
        found = StrNCompareNoCase(line, header, headerLength) == 0;
        number++;
    }
    if (place)
        *place = {utf8, number + 1};

    // The array doubles as it fills, so a huge section is read in linear time.
    size_t slots = 8;
    StringList list = static_cast<StringList>(Grow(nullptr, slots, sizeof(char *)));
    size_t n = 0;
    while (found && ReadLine(file, &line, &capacity) && !OnlyBlanksAndTabs(line)) {
        if (n + 1 == slots) {
            slots *= 2;
            list = static_cast<StringList>(Grow(list, slots, sizeof(char *)));
        }
        list[n++] = StrDup(line);
    }
    list[n] = nullptr;
    free(line);
    *lines = list;
    fclose(file);
    return static_cast<int>(n);
}
