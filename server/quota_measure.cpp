// The measuring thread: walks account roots one at a time, so a large tree
// never holds a socket thread, records each result (once) and posts
// SOCK_MSG_LIMITS to every socket thread's loop, each of which resumes its
// own waiting uploads. Started with the first job, stopped with the first
// socket thread (the last to end).
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/fs_measure.h"
#include "server/limits.h"
#include "server/sockthread.h"

namespace {

struct Job {
    std::string name, root;
    uint32_t generation;
};

std::mutex lock;
std::condition_variable wake;
std::deque<Job> jobs;
std::thread worker;
std::atomic<bool> stopping{false};

void Work() {
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        wake.wait(held, [] { return stopping.load() || !jobs.empty(); });
        if (stopping.load()) return;
        Job job = std::move(jobs.front());
        jobs.pop_front();
        held.unlock();
        QuotaMeasured done = {};
        snprintf(done.name, sizeof done.name, "%s", job.name.c_str());
        done.generation = job.generation;
        done.ok = FsMeasureTree(job.root.c_str(), &done.bytes, &done.files, &stopping);
        if (stopping.load()) return;
        QuotaMeasureRecord(done);
        for (int loop = 0; loop < SockLoopCount(); loop++)
            SockPostToLoop(loop, SOCK_MSG_LIMITS, LIMITS_MEASURED, 0);
        held.lock();
    }
}

} // namespace

void QuotaMeasureQueue(const char* name, const char* root, uint32_t generation) {
    std::lock_guard<std::mutex> held(lock);
    jobs.push_back(Job{name, root, generation});
    if (!worker.joinable()) worker = std::thread(Work);
    wake.notify_one();
}

void QuotaMeasureStop() {
    {
        std::lock_guard<std::mutex> held(lock);
        stopping = true;
        wake.notify_one();
    }
    if (worker.joinable()) worker.join();
    std::lock_guard<std::mutex> held(lock);
    jobs.clear();
    stopping = false;
}
