// The command-line driver.
#pragma once

// The usage message, naming the program.
const char *UsageText();

int RunCommandLine(int count, char **list);
void OpenHelpPage();
