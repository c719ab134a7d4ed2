// Message boxes, the fatal-error routine, the debug log and its hex dump.
#include "support/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/files.h"
#include "platform/modules.h"
#include "platform/profiles.h"
#include "platform/system.h"
#include "support/strings.h"

int32_t DebugLevel = 0;
void (*FatalTestHook)(const char *text) = nullptr;

namespace {

char BoxTitle[64] = "";
bool NoBoxes = false;
int (*RunEnd)(int code) = nullptr;
char *LogPath = nullptr;
char LastDateHeader[40] = "";

// Formats into the fixed buffer, or into a heap block when the text does not
// fit there; the caller frees the result when it is not the fixed buffer.
char *FormatText(char *fixed, size_t size, const char *format, va_list args) {
    va_list again;
    va_copy(again, args);
    int needed = vsnprintf(fixed, size, format, args);
    char *text = fixed;
    if (needed < 0) {
        fixed[0] = '\0';
    } else if (static_cast<size_t>(needed) >= size) {
        // Short of memory the cut text in the fixed buffer has to do.
        char *heap = static_cast<char *>(malloc(static_cast<size_t>(needed) + 1));
        if (heap) {
            vsnprintf(heap, static_cast<size_t>(needed) + 1, format, again);
            text = heap;
        }
    }
    va_end(again);
    return text;
}

const char *BoxKind(unsigned style) {
    return (style & 0xF0) == kBoxWarning ? "warning" : "information";
}

// Appends one record to the unattended-run file; false when it cannot be written.
bool RecordMessage(const char *path, const char *text, const char *caption, unsigned style) {
    FILE *file = fopen(path, "a");
    if (!file)
        return false;
    bool written = fprintf(file, "[%s] %s\n", BoxKind(style), caption) >= 0 &&
                   fprintf(file, "%s\n[end]\n", text) >= 0;
    if (fclose(file) != 0)
        written = false;
    return written;
}

} // namespace

int MessageOut(const char *text, const char *caption, unsigned style) {
    const char *record = OsGetEnv("CORVANE_MESSAGE_FILE");
    if (record && *record && RecordMessage(record, text, caption, style))
        return 1;
    // Where no one sees a box (services, and anything in session 0, whose own
    // interactive station no user has looked at since Windows Vista), it would
    // hold the run until a deployment tool's time-out: the log has it.
    if (NoBoxes || OsSessionId() == 0 || !OsInteractiveStation()) {
        LogPrint("[%s] %s\n%s\n[end]", BoxKind(style), caption, text);
        return 1;
    }
    return OsMessageBox(text, caption, style);
}

void DiagnosticsNoBoxes() {
    NoBoxes = true;
}

void DiagnosticsSetRun(const char *title, int (*endRun)(int code)) {
    snprintf(BoxTitle, sizeof BoxTitle, "%s", title);
    RunEnd = endRun;
}

int ShowMessage(const char *text) {
    return MessageOut(text, BoxTitle, kBoxPlain);
}

void WarnAndExit(const char *text) {
    if (FatalTestHook)
        FatalTestHook(text);
    MessageOut(text, BoxTitle, kBoxWarning);
    exit(RunEnd ? RunEnd(1) : 1);
}

// 500 characters are formatted at most; a longer text is cut to end with " ..."
// at position 500.
static void CutFatalText(char (&text)[501], int needed) {
    if (needed < 0 || needed >= 500) {
        memcpy(text + 496, " ...", 4);
        text[500] = '\0';
    }
}

void Fatal(const char *format, ...) {
    char text[501] = "";
    va_list args;
    va_start(args, format);
    int needed = vsnprintf(text, 500, format, args);
    va_end(args);
    CutFatalText(text, needed);
    WarnAndExit(text);
}

// Shown like a fatal error and logged; the platform layer then ends the
// process itself.
static void ForeignFailure(bool box, const char *format, ...) CORVANE_PRINTF(2, 3);
static void ForeignFailure(bool box, const char *format, ...) {
    char text[501] = "";
    va_list args;
    va_start(args, format);
    CutFatalText(text, vsnprintf(text, 500, format, args));
    va_end(args);
    LogPrint("%s", text);
    const char *record = OsGetEnv("CORVANE_MESSAGE_FILE");
    if (!box) { // the process is ending: a box could not be shown
        if (record && *record)
            RecordMessage(record, text, BoxTitle, kBoxWarning);
    } else
        MessageOut(text, BoxTitle, kBoxWarning);
}

void ForeignFault(const char *file, unsigned long code) {
    ForeignFailure(true, "%s crashed (exception 0x%08lX)",
                   file ? file : "a thread left behind by a data source", code);
}

void ForeignTimeout(const char *file, const char *call, unsigned seconds) {
    // A module that hangs while it is freed holds the loader's lock, which a box
    // may need.
    if (!call)
        ForeignFailure(false, "%s did not unload within %u s", FileName(file), seconds);
    else
        ForeignFailure(true, "%s did not answer %s within %u s", FileName(file), call, seconds);
}

void ForeignExit(const char *file, long code) {
    if (code < 0)
        ForeignFailure(false, "%s ended the process", file);
    else
        ForeignFailure(false, "%s ended the process (exit code %ld)", file, code);
}

void LogSetFile(const char *name) {
    // A TEMP with no name the code page can write keeps its '?'s: the log is lost.
    bool unwritable = false;
    char *folder = OsGetEnvFolder("TEMP", &unwritable);
    free(LogPath);
    LogPath = PathJoin(folder ? folder : "C:\\temp", name);
    free(folder);
    LastDateHeader[0] = '\0';
}

namespace {

// The head and the text as one record, a line end after it, in one append: two
// runs logging at once never lose or break each other's lines. False when it
// is not written (no log, no file, no memory).
bool LogAppend(const char *head, const char *text) {
    if (!LogPath)
        return false;
    size_t headLength = strlen(head);
    size_t textLength = strlen(text);
    char *record = static_cast<char *>(malloc(headLength + textLength + 2));
    if (!record)
        return false;
    memcpy(record, head, headLength);
    memcpy(record + headLength, text, textLength);
    memcpy(record + headLength + textLength, "\n", 2);
    bool written = OsAppendText(LogPath, record);
    free(record);
    return written;
}

} // namespace

void LogWrite(const char *format, ...) {
    char fixed[513];
    va_list args;
    va_start(args, format);
    char *text = FormatText(fixed, sizeof fixed, format, args);
    va_end(args);
    LogAppend("", text);
    if (text != fixed)
        free(text);
}

void LogPrint(const char *format, ...) {
    time_t now = time(nullptr);
    struct tm *local = localtime(&now);
    char date[40] = "";
    char clock[16] = "";
    if (local) {
        strftime(date, sizeof date, "%a %d %b %Y", local);
        strftime(clock, sizeof clock, "%H:%M:%S", local);
    }

    char fixed[513];
    va_list args;
    va_start(args, format);
    char *message = FormatText(fixed, sizeof fixed, format, args);
    va_end(args);

    // The date header goes in the same record as the line it heads, and counts
    // as written only once it is: the first line that reaches the log has it.
    bool header = strcmp(date, LastDateHeader) != 0;
    char head[sizeof LastDateHeader + sizeof clock + 16];
    if (header)
        snprintf(head, sizeof head, "*\n* %s\n*\n%s ", date, clock);
    else
        snprintf(head, sizeof head, "%s ", clock);
    if (LogAppend(head, message) && header)
        snprintf(LastDateHeader, sizeof LastDateHeader, "%s", date);
    if (message != fixed)
        free(message);
}

void LogHexDump(const char *caption, int32_t length, const void *bytes) {
    static const char digits[] = "0123456789ABCDEF";
    const unsigned char *data = static_cast<const unsigned char *>(bytes);
    LogPrint("%s", caption);
    int32_t rows = length > 0 ? length / 16 + (length % 16 != 0) : 0;
    for (int32_t row = 0; row < rows; row++) {
        int32_t first = row * 16;
        int32_t count = length - first < 16 ? length - first : 16;
        char line[16 * 3 + 16 + 1];
        char *out = line;
        for (int32_t i = 0; i < 16; i++) {
            if (i < count) {
                unsigned char b = data[first + i];
                *out++ = digits[b >> 4];
                *out++ = digits[b & 15];
                *out++ = ' ';
            } else {
                memcpy(out, "   ", 3);
                out += 3;
            }
        }
        for (int32_t i = 0; i < count; i++) {
            unsigned char c = data[first + i] & 0x7F;
            *out++ = (c >= 32 && c <= 126) ? static_cast<char>(c) : '.';
        }
        *out = '\0';
        LogPrint("%s", line);
    }
}

int ProcessId() {
    return OsProcessId();
}
