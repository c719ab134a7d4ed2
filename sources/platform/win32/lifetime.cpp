// How the scan's workers end with the program, on Windows: a job that ends
// them (and whatever they start) when it is closed with the program, a start
// outside the job the program itself runs in where that job allows it, and,
// in each worker, a watch on its parent that ends it when the parent ends,
// whatever job it is in, also one that ended as the worker started.
#include "platform/win32/internal.h"

#include <cstdlib>
#include <cstring>

namespace {

HANDLE WorkerJob;

// Whether a worker may start outside the job this process is in (one that a
// scheduler or a deployment agent runs programs in), so that it can join the
// workers' job on every Windows: only where that job lets children leave it.
bool MayBreakAway() {
    static int known; // 1 yes, 2 no
    BOOL inJob = FALSE;
    JOBOBJECT_BASIC_LIMIT_INFORMATION limits;
    if (!known)
        known = IsProcessInJob(GetCurrentProcess(), NULL, &inJob) && inJob &&
                        QueryInformationJobObject(NULL, JobObjectBasicLimitInformation, &limits,
                                                  sizeof limits, NULL) &&
                        (limits.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK)
                    ? 1
                    : 2;
    return known == 1;
}

// The parent, and the thread that asks the sources: when a source ends that
// thread, the watch would otherwise keep the process running with nothing to
// do. Its exit code is then the process's, as when a process's last thread ends.
HANDLE Watched[2];

DWORD WINAPI EndWithParent(void *) {
    DWORD code = ERROR_PROCESS_ABORTED;
    DWORD woke = WaitForMultipleObjects(Watched[0] ? 2 : 1, Watched[0] ? Watched : Watched + 1,
                                        FALSE, INFINITE);
    // A source that closed every handle closed these and the channel: the
    // worker ends as its channel breaks, not as if its parent had ended.
    if (woke == WAIT_FAILED)
        return 0;
    if (woke == WAIT_OBJECT_0 + (Watched[0] ? 1 : 0))
        GetExitCodeThread(Watched[1], &code);
    EndProcess(code);
}

// A copy of this process's token that holds no privilege at all, so that no
// driver a worker loads can enable one (the backup and restore privileges
// that -all enables would let it read and write any file). Windows lets a
// process start another with a restricted copy of its own token without
// further privilege. Null where it cannot be made: workers then start with
// this process's token, whose privileges stay disabled while they run.
// (Wine keeps every privilege when asked with DISABLE_MAX_PRIVILEGE alone; each
// is named as well.)
HANDLE PrivilegeFreeToken() {
    static HANDLE restricted;
    static bool tried;
    if (tried)
        return restricted;
    tried = true;
    auto openToken = ADVAPI_CALL(OpenProcessToken);
    auto information = ADVAPI_CALL(GetTokenInformation);
    auto restrict = ADVAPI_CALL(CreateRestrictedToken);
    HANDLE own = NULL;
    if (!openToken || !information || !restrict ||
        !openToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY, &own))
        return NULL;
    DWORD size = 0;
    information(own, TokenPrivileges, NULL, 0, &size);
    auto *held = size ? static_cast<TOKEN_PRIVILEGES *>(malloc(size)) : nullptr;
    if (held && information(own, TokenPrivileges, held, size, &size) &&
        !restrict(own, DISABLE_MAX_PRIVILEGE, 0, NULL, held->PrivilegeCount, held->Privileges, 0,
                  NULL, &restricted))
        restricted = NULL;
    free(held);
    CloseHandle(own);
    return restricted;
}

bool StartAs(wchar_t *exe, wchar_t *line, DWORD flags, STARTUPINFOW *startup,
             PROCESS_INFORMATION *info) {
    auto startAs = ADVAPI_CALL(CreateProcessAsUserW);
    HANDLE token = PrivilegeFreeToken();
    if (token && startAs &&
        startAs(token, exe, line, NULL, NULL, TRUE, flags, NULL, NULL, startup, info))
        return true;
    return CreateProcessW(exe, line, NULL, NULL, TRUE, flags, NULL, NULL, startup, info);
}

} // namespace

// Not suspended: one that this process left suspended when it ended would
// never end. The worker watches its parent from its first moment, and joins
// the job before its first request comes. Where a job it would leave refuses
// after all (one of the jobs this one is nested in), it starts inside it.
bool StartWorkerProcess(wchar_t *exe, wchar_t *line, STARTUPINFOW *startup,
                        PROCESS_INFORMATION *info) {
    static bool refused;
    if (!refused && MayBreakAway() && StartAs(exe, line, CREATE_BREAKAWAY_FROM_JOB, startup, info))
        return true;
    refused = refused || (MayBreakAway() && GetLastError() == ERROR_ACCESS_DENIED);
    return StartAs(exe, line, 0, startup, info);
}

// One job for all workers: closed with this process, it ends them. Windows 7
// lets no process that is in a job already join another (Wine lets any join).
bool JoinWorkerJob(HANDLE process) {
    static bool made;
    if (!made) {
        made = true;
        WorkerJob = CreateJobObjectA(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        memset(&limits, 0, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (WorkerJob)
            SetInformationJobObject(WorkerJob, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
    }
    return WorkerJob && AssignProcessToJobObject(WorkerJob, process);
}

// A parent that started after this process is another process that took the
// parent's id: the parent is gone already.
HANDLE OpenParent(DWORD id, bool *gone) {
    HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    FILETIME born, own, unused[3];
    *gone = !parent && GetLastError() == ERROR_INVALID_PARAMETER;
    if (parent && GetProcessTimes(parent, &born, &unused[0], &unused[1], &unused[2]) &&
        GetProcessTimes(GetCurrentProcess(), &own, &unused[0], &unused[1], &unused[2]) &&
        CompareFileTime(&born, &own) > 0) {
        CloseHandle(parent);
        *gone = true;
        return NULL;
    }
    return parent;
}

// A thread of the program's own, which waits for nothing else (one that
// starts in the program is never counted against a source).
void WatchParent(HANDLE parent) {
    Watched[0] = parent;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &Watched[1],
                         SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0))
        return;
    HANDLE thread =
        CreateThread(NULL, 64 * 1024, EndWithParent, NULL, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (thread)
        CloseHandle(thread);
}
