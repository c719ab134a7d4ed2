// Output of the reporting actions: an -o file, or a temporary file shown in a box.
#pragma once

#include <cstdio>

const char *ReportPath(const char *outputFile);
FILE *ReportCreate(const char *path);
void ReportFinish(FILE *stream, const char *path, const char *outputFile);
