// Shared by the fuzz targets: property checks, a scratch folder, and a way to
// go on past Fatal, which would otherwise end the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/diagnostics.h"

// A property that does not hold is a finding, like a crash.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition);       \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// The message of a Fatal that the hook turned into an exception.
struct FatalEnd {
    std::string text;
};

[[noreturn]] inline void ThrowFatal(const char *text) {
    throw FatalEnd{text};
}

// Runs the step; true and the message in *text when it ended through Fatal.
template <class Step> bool EndsInFatal(Step step, std::string *text = nullptr) {
    FatalTestHook = ThrowFatal;
    try {
        step();
    } catch (const FatalEnd &end) {
        if (text)
            *text = end.text;
        return true;
    }
    return false;
}

// A folder of the process's own under /tmp, removed when the process ends.
inline std::string ScratchFolder() {
    static char name[] = "/tmp/corvane-fuzz-XXXXXX"; // outlives the exit handlers
    static bool made = false;
    if (!made) {
        if (!mkdtemp(name))
            abort();
        made = true;
        atexit([] { std::filesystem::remove_all(name); });
    }
    return name;
}
