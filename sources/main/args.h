// The argument list: splitting the command line and taking entries out of it.
#pragma once

constexpr int kArgLimit = 30;

int ArgsSplit(const char *text, int limit, char **list);
// The number of entries ArgsSplit would find without a limit.
int ArgsCount(const char *text);
bool ArgsTake(int *count, char **list, const char *word);
const char *ArgsTakeValue(int *count, char **list, const char *prefix, const char *fallback);
