// One pipe per thread, as large as the largest receive of an upload, so that
// one splice takes a whole receive and one more puts it into the file.
#include "platform/splice_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

thread_local SplicePipe pipeOfThread = {-1, -1};
thread_local bool pipeRefused = false;

void ClosePipe() {
    if (pipeOfThread.readEnd >= 0) close(pipeOfThread.readEnd);
    if (pipeOfThread.writeEnd >= 0) close(pipeOfThread.writeEnd);
    pipeOfThread = {-1, -1};
}

} // namespace

const SplicePipe* SplicePipeGet() {
    if (pipeOfThread.readEnd >= 0) return &pipeOfThread;
    if (pipeRefused) return nullptr;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        // Out of descriptors, say: tried again at the next upload.
        return nullptr;
    }
    pipeOfThread = {ends[0], ends[1]};
    // A smaller pipe only means smaller receives.
    fcntl(ends[1], F_SETPIPE_SZ, (int)SPLICE_PIPE_BYTES);
    return &pipeOfThread;
}

int SplicePipeDrop(uint32_t count) {
    char scrap[16 * 1024];
    while (count > 0) {
        ssize_t n = read(pipeOfThread.readEnd, scrap, count < sizeof scrap ? count : sizeof scrap);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ClosePipe();
            return 0;
        }
        count -= (uint32_t)n;
    }
    return 1;
}
