// Shared by the fuzz targets: property checks, a scratch folder, and a way to
// go on past Fatal, which would otherwise end the process.
#pragma once

#include <cstdint>
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

// The input as text: up to its first NUL, where a C string ends.
inline std::string InputText(const uint8_t *data, size_t size) {
    return std::string(reinterpret_cast<const char *>(data), size).c_str();
}

// The text before the first line feed, and after it ("" without one).
inline void SplitAtLineFeed(const std::string &text, std::string *first, std::string *rest) {
    size_t newline = text.find('\n');
    *first = text.substr(0, newline);
    *rest = newline == std::string::npos ? "" : text.substr(newline + 1);
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
