// Report output: the -o file, or a temporary file shown in a message box and deleted.
#include "app/report.h"

#include <cstdlib>

#include "app/program.h"
#include "platform/platform.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/strings.h"

const char *ReportPath(const char *outputFile) {
    if (outputFile != nullptr)
        return outputFile;
    const char *folder = OsGetEnv("TEMP");
    if (folder == nullptr)
        folder = "C:\\temp";
    char number[16];
    FormatDecimal(number, sizeof number, ProcessId());
    char *name = StrCat3(number, ".", "stdout.txt");
    char *path = PathJoin(folder, name); // lives until the process ends
    free(name);
    return path;
}

FILE *ReportCreate(const char *path) {
    FILE *stream = fopen(path, "w+");
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
