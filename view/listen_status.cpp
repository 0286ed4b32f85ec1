#include "view/listen_status.h"

#include <atomic>
#include <mutex>

#include "platform/mainqueue.h"

namespace {
std::mutex lock;
std::string problem; // guarded by lock
std::atomic<void (*)()> observer{nullptr};
} // namespace

bool ListenStatusSet(const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (problem == text) return false;
        problem = text;
    }
    // The window redraws on the main thread, whichever thread set it.
    if (observer.load())
        MainQueuePost([] {
            if (auto callback = observer.load()) callback();
        });
    return true;
}

std::string ListenStatusProblem() {
    std::lock_guard<std::mutex> guard(lock);
    return problem;
}

std::string ListenStatusText() {
    std::string text = ListenStatusProblem();
    return text.empty() ? "Ready" : text;
}

void ListenStatusSetObserver(void (*callback)()) {
    observer.store(callback);
}
