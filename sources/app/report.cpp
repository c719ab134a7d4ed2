// Report output: the -o file, or a temporary file shown in a message box and deleted.
#include "app/report.h"

#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "platform/files.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/strings.h"

namespace {

constexpr char kTemporaryEnd[] = ".stdout.txt";
// <pid>.stdout.txt, then <pid>-1.stdout.txt and on, while the names are taken.
constexpr int kTemporaryNames = 100;
constexpr size_t kNumberRoom = 16;

// The temporary report path of the action under way (null after an -o one),
// with room for a number: when its name is taken the next one is written in
// its place, so that ReportFinish shows and deletes the file this run made.
char *Temporary;

FILE *CreateTemporary() {
    size_t room = strlen(Temporary) + 1 + kNumberRoom;
    size_t stem = strlen(Temporary) - (sizeof kTemporaryEnd - 1);
    char *first = StrDup(Temporary);
    FILE *stream = nullptr;
    bool taken = true;
    for (int n = 0; stream == nullptr && taken && n < kTemporaryNames; ++n) {
        if (n > 0)
            snprintf(Temporary, room, "%.*s-%d%s", static_cast<int>(stem), first, n, kTemporaryEnd);
        stream = OsCreateNewFile(Temporary, &taken);
    }
    free(first);
    return stream;
}

} // namespace

const char *ReportPath(const char *outputFile) {
    Temporary = nullptr;
    if (outputFile != nullptr)
        return outputFile;
    // A TEMP with no name the code page can write keeps its '?'s, and the report
    // then says it cannot create its file.
    bool unwritable = false;
    char *folder = OsGetEnvFolder("TEMP", &unwritable);
    char number[16];
    FormatDecimal(number, sizeof number, ProcessId());
    char *name = StrCat3(number, ".", "stdout.txt");
    char *path = PathJoin(folder ? folder : "C:\\temp", name);
    free(name);
    free(folder);
    size_t length = strlen(path);
    Temporary = static_cast<char *>(MemAlloc(static_cast<int32_t>(length + 1 + kNumberRoom)));
    memcpy(Temporary, path, length + 1);
    free(path);
    return Temporary; // lives until the process ends
}

FILE *ReportCreate(const char *path) {
    // The temporary report never replaces a file: it is made under a free name.
    FILE *stream = Temporary && path == Temporary ? CreateTemporary() : fopen(path, "w+");
    if (stream == nullptr)
        Fatal("Can't create file: %s", path);
    return stream;
}

void ReportFinish(FILE *stream, const char *path, const char *outputFile) {
    fclose(stream);
    if (outputFile != nullptr)
        return;
    char *text = ReadAll(path);
    MessageOut(text, ProgramName, kBoxPlain);
    free(text);
    OsDeleteFile(path);
}
