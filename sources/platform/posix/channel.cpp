// The scan's worker on POSIX systems, as the worker sees it: a fork is handed
// its end of the socket pair directly, so no environment names a channel.
#include "platform/worker.h"

#include <sys/socket.h>
#include <sys/types.h>

void *OsWorkerChannel() {
    return nullptr;
}

bool OsChannelRead(void *channel, void *data, int size) {
    char *bytes = static_cast<char *>(data);
    for (int done = 0; done < size;) {
        ssize_t moved = recv(*static_cast<int *>(channel), bytes + done, size - done, 0);
        if (moved <= 0)
            return false;
        done += static_cast<int>(moved);
    }
    return true;
}

bool OsChannelWrite(void *channel, const void *data, int size) {
    const char *bytes = static_cast<const char *>(data);
    for (int done = 0; done < size;) {
        ssize_t moved = send(*static_cast<int *>(channel), bytes + done, size - done, MSG_NOSIGNAL);
        if (moved <= 0)
            return false;
        done += static_cast<int>(moved);
    }
    return true;
}
