// The current user's registry: the text values the catalogue writes and reads.
#pragma once

// Create or open a key (null on failure), set a text value (REG_SZ, the
// terminating NUL included), close the key.
void *OsUserKeyCreate(const char *path);
bool OsKeySetText(void *key, const char *name, const char *text);
void OsKeyClose(void *key);

// A text value as a heap text (released with free), the terminating NUL added
// when the stored data lacks it; null when the key or the value does not exist
// or cannot be read.
char *OsUserKeyReadText(const char *path, const char *name);
