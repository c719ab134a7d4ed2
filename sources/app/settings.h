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
