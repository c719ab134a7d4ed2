// JSON text for the machine-readable listing.
#pragma once

// The UTF-8 text as one JSON string, quotes included, in a heap text: quotes,
// backslashes and control characters (C0, DEL and C1) escaped; a byte that
// begins no valid UTF-8 sequence becomes U+FFFD.
char *JsonString(const char *utf8);
