// The pipe of the calling thread through which an upload's bytes go from
// the socket to the file without passing through the program
// (NetRecvToPipe, FsWriteFromPipe). Between two uses it is empty.
#pragma once

#include <cstdint>

// What the pipe is asked to hold: the largest receive through it.
constexpr uint32_t SPLICE_PIPE_BYTES = 1024 * 1024;

struct SplicePipe {
    int readEnd;
    int writeEnd;
};

// The calling thread's pipe, made on first use; nullptr when the system
// gives none (the caller then receives into a buffer as before).
const SplicePipe* SplicePipeGet();

// Reads and drops count bytes the pipe still holds (the part of a receive
// that was not written). 0 when the pipe could not be emptied: it is then
// closed, and the next SplicePipeGet makes a new one.
int SplicePipeDrop(uint32_t count);
