// Start-up: the way into and out of a run.
#include "main/startup.h"

#include <cstdio>
#include <cstdlib>

#include "TWLINK/TWLINK.h"
#include "app/program.h"
#include "main/args.h"
#include "main/driver.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "platform/worker.h"
#include "support/diagnostics.h"
#include "support/strings.h"

namespace {

char *ArgList[kArgLimit + 1];

} // namespace

int StartUp() {
    snprintf(ProgramVersion, sizeof ProgramVersion, "%d.%02d", kVersionMajor, kVersionMinor);
    DiagnosticsSetRun(ProgramTitle(), EndRun);
    // The scan's worker reads no settings, writes no log and shows no box.
    if (void *channel = OsWorkerChannel())
        return ScanWorkerMain(channel);
    int count = ArgsSplit(OsCommandLine(), kArgLimit, ArgList);
    // Arguments past the list's room would be dropped unseen, their errors and
    // a -dbg= switch among them, and the run reported as a success.
    int given = ArgsCount(OsCommandLine());
    if (given > kArgLimit)
        Fatal("Too many arguments (%d): at most %d are taken", given - 1, kArgLimit - 1);
    ProgramFolderPath = ProgramFolder();
    UserDataPath = UserDataFolder("Halvorquin", ProgramName);
    char *logName = StrCat2(ProgramName, ".log");
    LogSetFile(logName);
    free(logName);
    // Beyond the int range atoi's result is undefined: such a level is no level.
    DebugLevel = ReadDecimal(ArgsTakeValue(&count, ArgList, "-dbg=", "0")).value;
    if (DebugLevel > 0)
        LogPrint("Cmdline: %s", OsCommandLine());
    return EndRun(RunCommandLine(count, ArgList));
}

int EndRun(int code) {
    OsForeignExitCode(code);
    if (!TwUnloadManager())
        return code;
    // Whatever the Source Manager left loaded would be detached unguarded by
    // the usual exit; the reports are complete, so nothing else needs to run.
    OsEndProcess(code);
}
