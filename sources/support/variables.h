// The process-wide store of named text variables and listing templates.
#pragma once

constexpr int kVarLimit = 123;

int VarSet(const char *name, const char *value);
const char *VarGet(const char *name);
char *ExpandTemplate(const char *text);

// Whether a variable of that name is stored, and how many more names fit.
bool VarKnown(const char *name);
int VarRoom();

// Empties the store; for tests, which need a fresh store per case.
void VarClear();
