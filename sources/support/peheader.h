// The machine a Windows module was built for and the DLLs it imports, from its
// PE header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/strings.h"

constexpr int32_t kMachineNoModule = -1; // no PE header: not a Windows module
constexpr int32_t kMachineUnread = -2;   // the file cannot be read
constexpr int32_t kMachineX86 = 0x14C;
constexpr int32_t kMachineX64 = 0x8664;

// The machine field of the file's PE header (0x14C x86, 0x8664 x64, ...), or
// one of the two values above.
int32_t ModuleMachine(const char *path);

// The names of the DLLs a PE32 or PE32+ image imports at load time (its import
// directory), in table order, each once (letter case ignored). A damaged or
// foreign image gives the names read before the damage, or none; never a read
// outside the bytes given.
StringList ImageImports(const unsigned char *bytes, size_t size);
// The same for a file, of which the first kImageReadLimit bytes are read; an
// empty list when it cannot be read.
constexpr long kImageReadLimit = 64L * 1024 * 1024;
StringList ModuleImports(const char *path);

// Whether a PE32 or PE32+ image exports the function name, or (ordinal not 0)
// a function of that ordinal, as its export directory tells GetProcAddress;
// never a read outside the bytes given. The same for a file (its first
// kImageReadLimit bytes): false when it cannot be read.
bool ImageExports(const unsigned char *bytes, size_t size, const char *name, uint32_t ordinal);
bool ModuleExports(const char *path, const char *name, uint32_t ordinal);

// Whether a PE32 or PE32+ image holds every byte its headers promise, as the
// loader requires: a section whose bytes lie past the file's end (a file cut
// short) makes the image unloadable. The same for a file; one that cannot be
// read counts as whole.
bool ImageWhole(const unsigned char *bytes, size_t size);
bool ModuleWhole(const char *path);
