// The scan's worker's own loop: each request on its channel names a data-source
// file, which is loaded, asked for its identity and freed here, and answered,
// with what the source left behind. A worker that something changed since its
// last answer declines the next request: it is no longer as a fresh one.
#include <cstdlib>
#include <cstring>

#include "catalogue/channel.h"
#include "catalogue/catalogue.h"
#include "platform/modules.h"
#include "platform/worker.h"

namespace {

// Far beyond any path the system loads from: such a one just does not load.
constexpr uint32_t kLongestPath = 16 << 20;

} // namespace

bool AnswerAcceptable(const WorkerAnswer &answer, uint32_t mark, uint32_t sequence) {
    return answer.mark == mark && answer.sequence == sequence &&
           answer.check == AnswerCheck(reinterpret_cast<const unsigned char *>(&answer)) &&
           answer.outcome >= kSourceAccepted && answer.outcome <= kIdentityRefused &&
           answer.state <= kWorkerSpoiled && answer.withOrigin <= 1;
}

void AskInto(const char *path, bool withOrigin, unsigned char *scratch, WorkerAnswer *answer) {
    memset(scratch, 0, kScratchSize);
    memset(answer, 0, sizeof *answer);
    OsLeftBehind left;
    bool answeredWithOrigin = false;
    answer->outcome = AskModule(path, withOrigin, reinterpret_cast<TW_IDENTITY *>(scratch),
                                &answer->code, &answeredWithOrigin, &left);
    memcpy(answer->identity, scratch, sizeof answer->identity);
    answer->withOrigin = answeredWithOrigin ? 1 : 0;
    answer->threadsLeft = left.threads;
    answer->modulesLeft = left.modules;
    memcpy(answer->moduleLeft, left.module, sizeof answer->moduleLeft);
    answer->moduleLeft[sizeof answer->moduleLeft - 1] = '\0';
    bool changed = left.threads > 0 || left.modules > 0 || left.loaderBusy;
    answer->state = left.others ? kWorkerSpoiled : changed ? kWorkerChanged : kWorkerAsBefore;
}

int ScanWorkerMain(void *channel) {
    auto *scratch = static_cast<unsigned char *>(malloc(kScratchSize));
    WorkerAnswer answer{};
    answer.mark = kReadyMark;
    answer.check = AnswerCheck(reinterpret_cast<unsigned char *>(&answer));
    // Before the ready message, which starts the first source's time: while
    // the program reads its settings and searches the folders, for the first
    // worker.
    OsLoadWindowing();
    int exitCode =
        scratch && OsChannelWrite(channel, &answer, sizeof answer) ? 0 : kChannelLostExit;
    for (uint32_t sequence = 1; exitCode == 0; ++sequence) {
        WorkerRequest request;
        // The program closed the channel: the scan is over.
        if (!OsChannelRead(channel, &request, sizeof request))
            break;
        char *path = request.mark == kRequestMark && request.sequence == sequence &&
                             request.length <= kLongestPath && request.withOrigin <= 1
                         ? static_cast<char *>(malloc(request.length + 1))
                         : nullptr;
        if (!path || !OsChannelRead(channel, path, static_cast<int>(request.length))) {
            free(path);
            exitCode = kChannelLostExit;
            break;
        }
        path[request.length] = '\0';
        if (OsChangedSinceLeft()) {
            memset(&answer, 0, sizeof answer);
            answer.state = kWorkerDeclined;
        } else {
            AskInto(path, request.withOrigin == 1, scratch, &answer);
        }
        answer.mark = kAnswerMark;
        answer.sequence = sequence;
        answer.check = AnswerCheck(reinterpret_cast<unsigned char *>(&answer));
        free(path);
        if (!OsChannelWrite(channel, &answer, sizeof answer))
            exitCode = kChannelLostExit;
    }
    free(scratch);
    return exitCode;
}
