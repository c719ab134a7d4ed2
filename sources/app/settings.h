// The settings file.
#pragma once

extern char *SettingsPath;

void SettingsLoad();
void SettingsInstall();

// The setting ds_timeout: seconds each foreign call may take, 0 for no limit.
int SourceTimeLimit();
// The setting ds_workers: how many workers may ask data sources side by side.
constexpr int kMostWorkers = 16;
int SourceWorkers();
// The setting ds_depth: how many levels of folders below ds_dir the scan
// searches, 1 for ds_dir's own sub-folders.
constexpr int kMostDepth = 4;
int SourceDepth();

// A whole-number setting's value, or -1 when the text is none from low to high.
int WholeNumber(const char *text, int low, int high);

// A setting of another program's settings file in this program's folder, as
// shipped (program.ini): a heap text, null when the file or the setting is not
// there or the value is empty.
char *ShippedSetting(const char *program, const char *key);
