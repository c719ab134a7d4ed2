// Reader of one bracketed section of a settings file.
#pragma once

#include "support/strings.h"

// What the reader tells of the file besides the section's lines.
struct SectionPlace {
    // The file is UTF-8 text that holds more than ASCII, with a byte-order mark
    // or without: its lines are UTF-8, not the code page's.
    bool utf8;
    int firstLine; // the file's line number (from 1) of the section's first line
};

// Fills *lines with the section's lines and returns their number, and *place
// when it is given.
int LoadLines(const char *path, const char *section, StringList *lines,
              SectionPlace *place = nullptr);
