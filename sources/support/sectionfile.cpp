// Reader of one bracketed section of a settings file.
#include "support/sectionfile.h"

#include <cstdio>
#include <cstring>

#include "support/diagnostics.h"

namespace {

// A piece is a whole line with its line feed, or the next 254 characters of a longer one.
constexpr int kPieceLimit = 255;

bool OnlyBlanksAndTabs(const char *text) {
    for (; *text; text++) {
        if (*text != ' ' && *text != '\t')
            return false;
    }
    return true;
}

// Reads pieces up to and including the first that starts with the header.
bool FindHeader(FILE *file, char *piece, const char *header, size_t headerLength) {
    while (fgets(piece, kPieceLimit, file)) {
        if (StrNCompareNoCase(piece, header, headerLength) == 0)
            return true;
    }
    return false;
}

} // namespace

int LoadLines(const char *path, const char *section, StringList *lines) {
    FILE *file = fopen(path, "r");
    if (!file)
        Fatal("LoadLines. %s file missing", path);

    char header[256];
    FormatSectionHeader(header, sizeof header, section);
    size_t headerLength = strlen(header);

    char piece[256];
    bool found = FindHeader(file, piece, header, headerLength);

    // The first pass bounds the second, so the array is sized once and never grown.
    // The second pass finds the header again instead of seeking back: a text-mode
    // ftell is wrong for files with bare line feeds, which would lose lines.
    int count = 0;
    if (found) {
        while (fgets(piece, kPieceLimit, file) && !OnlyBlanksAndTabs(piece))
            count++;
        rewind(file);
        FindHeader(file, piece, header, headerLength);
    }

    StringList list = static_cast<StringList>(
        MemAlloc(static_cast<int32_t>((static_cast<size_t>(count) + 1) * sizeof(char *))));
    int n = 0;
    while (n < count && fgets(piece, kPieceLimit, file)) {
        size_t length = strlen(piece);
        if (length > 0 && piece[length - 1] == '\n')
            piece[length - 1] = '\0';
        if (OnlyBlanksAndTabs(piece))
            break;
        list[n++] = StrDup(piece);
    }
    list[n] = nullptr;
    *lines = list;
    fclose(file);
    return n;
}
