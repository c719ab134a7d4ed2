// Reader of one bracketed section of a settings file.
#pragma once

#include "support/strings.h"

// Fills *lines with the section's lines and returns their number.
int LoadLines(const char *path, const char *section, StringList *lines);
