// The settings file.
#pragma once

extern char *SettingsPath;

void SettingsLoad();
void SettingsInstall();
