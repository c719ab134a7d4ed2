// The scan's worker's own loop: each request on its channel names a data-source
// file, which is loaded, asked for its identity and freed here, and answered.
#include <cstdlib>
#include <cstring>

#include "catalogue/channel.h"
#include "catalogue/catalogue.h"
#include "platform/worker.h"

namespace {

// Far beyond any path the system loads from: such a one just does not load.
constexpr uint32_t kLongestPath = 16 << 20;

} // namespace

void AskInto(const char *path, unsigned char *scratch, WorkerAnswer *answer) {
    memset(scratch, 0, kScratchSize);
    memset(answer, 0, sizeof *answer);
    answer->outcome = AskModule(path, reinterpret_cast<TW_IDENTITY *>(scratch), &answer->code);
    memcpy(answer->identity, scratch, sizeof answer->identity);
}

int ScanWorkerMain(void *channel) {
    auto *scratch = static_cast<unsigned char *>(malloc(kScratchSize));
    WorkerAnswer answer{};
    answer.mark = kReadyMark;
    answer.check = AnswerCheck(reinterpret_cast<unsigned char *>(&answer));
    int exitCode =
        scratch && OsChannelWrite(channel, &answer, sizeof answer) ? 0 : kChannelLostExit;
    for (uint32_t sequence = 1; exitCode == 0; ++sequence) {
        WorkerRequest request;
        // The program closed the channel: the scan is over.
        if (!OsChannelRead(channel, &request, sizeof request))
            break;
        char *path = request.mark == kRequestMark && request.sequence == sequence &&
                             request.length <= kLongestPath
                         ? static_cast<char *>(malloc(request.length + 1))
                         : nullptr;
        if (!path || !OsChannelRead(channel, path, static_cast<int>(request.length))) {
            free(path);
            exitCode = kChannelLostExit;
            break;
        }
        path[request.length] = '\0';
        AskInto(path, scratch, &answer);
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
