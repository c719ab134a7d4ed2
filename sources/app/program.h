// The process-wide values fixed at start-up: the program's name, version, title
// and folders.
#pragma once

extern const char *const ProgramName;
extern char ProgramVersion[16];
extern char *ProgramFolderPath;
extern char *UserDataPath;

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 13;

const char *ProgramTitle();
char *ProgramFolder();
char *UserDataFolder(const char *maker, const char *program);
