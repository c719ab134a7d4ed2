// The scan's worker: a second run of this executable that does the foreign
// work for the program, over a private two-way channel, in a job that ends it
// when this process ends; it also ends itself when this process ends. Only
// the process that started a worker can command it: a worker checks that its
// channel comes from its own parent before it does anything, and an
// environment that merely names a channel makes no worker.
#pragma once

// Starts a worker whose messages to this process are all messageSize bytes;
// null when it cannot be started, OsLastError then telling why. *inJob tells
// whether it joined the job that ends it with this process; when it could
// not, it still ends itself when this process ends.
void *OsWorkerStart(int messageSize, bool *inJob);
enum OsTransfer : int { kOsDone, kOsTimedOut, kOsWorkerEnded };
// Sends exactly size bytes within the time limit (negative: none).
int OsWorkerSend(void *worker, const void *data, int size, int milliseconds);
// Waits until one of the workers has a whole message or its channel has ended
// (the worker ended, or closed it); that worker's index, or -1 when the time
// (negative: none) ran out first. Messages keep coming in between calls.
int OsWorkerWait(void *const *workers, int count, int milliseconds);
// Takes the worker's whole message: kOsDone; kOsTimedOut when none has come
// yet; kOsWorkerEnded when its channel ended before one did.
int OsWorkerReceive(void *worker, void *message);
// Ends the worker and releases it, giving it up to waitMs to end by itself
// first (when it has not, it is ended with exitCode); its exit code, or
// exitCode when it is still ending. An exit code with the top two bits set is
// an exception code (on POSIX: 0xC0000000 with the signal number).
unsigned long OsWorkerEnd(void *worker, int waitMs, unsigned exitCode);
// Ends a worker that is done, without waiting for it: a process may take a
// while to end (one in a driver's I/O ends when the I/O does).
void OsWorkerClose(void *worker);
// Whether a closed worker is gone, its process ended; it is released then,
// and with giveUp also when it is not (true then).
bool OsWorkerGone(void *worker, bool giveUp);
// Whether a thread of the worker other than the one it started with holds the
// system's loader there (read from the worker's memory): the work it was
// given then waits for something that is not that work's.
bool OsWorkerLoaderHeld(void *worker);

// In the worker: the channel to the program, else null (and then no
// environment variable of the worker's is left). Also makes this the worker:
// no system boxes, and a fault ends it with the exception code.
void *OsWorkerChannel();
bool OsChannelRead(void *channel, void *data, int size);
bool OsChannelWrite(void *channel, const void *data, int size);
// Provided above this layer: the worker's loop; its exit code.
int ScanWorkerMain(void *channel);
