#include "platform/mainqueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <mutex>

namespace {
std::mutex queueLock;
std::deque<std::function<void()>> pending;
int wakeFd = -1;

int WakeFdLocked() {
    if (wakeFd < 0) wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wakeFd;
}
} // namespace

void MainQueuePost(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(queueLock);
    pending.push_back(std::move(work));
    int fd = WakeFdLocked();
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(fd, &one, sizeof one);
        (void)n;
    }
}

int MainQueueDrain() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        batch.swap(pending);
        if (wakeFd >= 0) {
            uint64_t count;
            ssize_t n = read(wakeFd, &count, sizeof count);
            (void)n;
        }
    }
    for (auto& work : batch)
        work();
    return (int)batch.size();
}

int MainQueueWakeFd() {
    std::lock_guard<std::mutex> guard(queueLock);
    return WakeFdLocked();
}
