// The command-line driver.
#pragma once

extern const char UsageText[];

int RunCommandLine(int count, char **list);
void OpenHelpPage();
