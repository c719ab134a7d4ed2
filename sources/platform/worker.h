// The scan's worker: a second run of this executable that does the foreign
// work for the program, over a private two-way channel, in a job that ends it
// when this process ends.
#pragma once

// Starts a worker; null when it cannot be started.
void *OsWorkerStart();
enum OsTransfer : int { kOsDone, kOsTimedOut, kOsWorkerEnded };
// Sends or receives exactly size bytes within the time limit (negative: none).
int OsWorkerSend(void *worker, const void *data, int size, int milliseconds);
int OsWorkerReceive(void *worker, void *data, int size, int milliseconds);
// Ends the worker (when it still runs) and releases it; its exit code. An exit
// code with the top two bits set is an exception code (on POSIX: 0xC0000000
// with the signal number).
unsigned long OsWorkerEnd(void *worker);
// Closes the channel and releases the worker, which then ends by itself (and
// with this process at the latest), without waiting for it.
void OsWorkerClose(void *worker);

// In the worker: the channel to the program, else null. Also makes this the
// worker: no system boxes, and a fault ends it with the exception code.
void *OsWorkerChannel();
bool OsChannelRead(void *channel, void *data, int size);
bool OsChannelWrite(void *channel, const void *data, int size);
// Provided above this layer: the worker's loop; its exit code.
int ScanWorkerMain(void *channel);
