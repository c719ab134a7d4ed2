// The machine a Windows module was built for, from its PE header.
#pragma once

#include <cstdint>

constexpr int32_t kMachineNoModule = -1; // no PE header: not a Windows module
constexpr int32_t kMachineUnread = -2;   // the file cannot be read

// The machine field of the file's PE header (0x14C x86, 0x8664 x64, ...), or
// one of the two values above.
int32_t ModuleMachine(const char *path);
