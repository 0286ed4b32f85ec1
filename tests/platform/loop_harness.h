// The event loop on a thread of its own, recording every notification it
// delivers, with loopback socket helpers for the loop's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/eventloop.h"
#include "platform/net.h"
#include "test_support.h"

constexpr unsigned TEST_MSG_SOCK = WM_APP + 0x100;   // notifications of the test's sockets
constexpr unsigned TEST_MSG_RUN = WM_APP + 0x101;    // wParam: std::function<void()>* to run

struct Note {
    unsigned message;
    int fd;
    uint16_t event;
    uint16_t error;
};

class LoopHarness {
public:
    // Called on the loop thread for every socket notification, after it was recorded.
    std::function<void(const Note&)> onNote;

    void Start() {
        current = this;
        thread_ = std::thread([this] {
            if (!EvLoopCreate(Proc)) {
                std::lock_guard<std::mutex> lk(lock_);
                failed_ = true;
                cv_.notify_all();
                return;
            }
            {
                std::lock_guard<std::mutex> lk(lock_);
                running_ = true;
                cv_.notify_all();
            }
            EvLoopRun();
            EvLoopDestroy();
        });
        std::unique_lock<std::mutex> lk(lock_);
        ASSERT_TRUE(cv_.wait_for(lk, std::chrono::seconds(5), [this] { return running_ || failed_; }));
        ASSERT_TRUE(running_) << "event loop not created";
    }

    void Stop() {
        if (!thread_.joinable()) return;
        EvLoopSend(WM_CLOSE, 0, 0);
        thread_.join();
        current = nullptr;
    }

    ~LoopHarness() { Stop(); }

    // Runs fn on the loop thread and returns when it is done.
    void Run(std::function<void()> fn) { ASSERT_EQ(EvLoopSend(TEST_MSG_RUN, reinterpret_cast<uintptr_t>(&fn), 0), 1); }

    // Returns once every notification that was due when called has been
    // delivered: events ready before the first round trip come with the
    // second epoll batch at the latest, which the third one follows.
    void Settle() {
        for (int i = 0; i < 3; i++) Run([] {});
    }

    std::vector<Note> Notes() {
        std::lock_guard<std::mutex> lk(lock_);
        return notes_;
    }

    int Count(int fd, uint16_t event) {
        std::lock_guard<std::mutex> lk(lock_);
        int n = 0;
        for (const Note& note : notes_)
            if (note.fd == fd && note.event == event) n++;
        return n;
    }

    // Waits (bounded) until the count of fd's event reaches n.
    bool WaitCount(int fd, uint16_t event, int n, int seconds = 5) {
        std::unique_lock<std::mutex> lk(lock_);
        return cv_.wait_for(lk, std::chrono::seconds(seconds), [&] {
            int c = 0;
            for (const Note& note : notes_)
                if (note.fd == fd && note.event == event) c++;
            return c >= n;
        });
    }

    bool destroyed() {
        std::lock_guard<std::mutex> lk(lock_);
        return destroyed_;
    }
    int closeSeen() {
        std::lock_guard<std::mutex> lk(lock_);
        return closeSeen_;
    }

private:
    static inline LoopHarness* current = nullptr;

    static void Proc(unsigned message, uintptr_t wParam, intptr_t lParam) {
        LoopHarness* h = current;
        if (message == TEST_MSG_RUN) {
            (*reinterpret_cast<std::function<void()>*>(wParam))();
            return;
        }
        if (message == WM_DESTROY) {
            std::lock_guard<std::mutex> lk(h->lock_);
            h->destroyed_ = true;
            EvLoopQuit(0);
            return;
        }
        if (message == WM_CLOSE) {
            std::lock_guard<std::mutex> lk(h->lock_);
            h->closeSeen_++;
            return;
        }
        if (message == WM_CREATE) return;
        Note note{message, static_cast<int>(wParam), WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam)};
        {
            std::lock_guard<std::mutex> lk(h->lock_);
            h->notes_.push_back(note);
            h->cv_.notify_all();
        }
        if (h->onNote) h->onNote(note);
    }

    std::thread thread_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Note> notes_;
    bool running_ = false;
    bool failed_ = false;
    bool destroyed_ = false;
    int closeSeen_ = 0;
};

using bxtest::ResetClose;

// A connected pair: client (blocking, test side) and server (accepted with
// NetAccept, so the loop knows it as connected).
struct TestPair {
    int client = -1;
    SOCKET server = INVALID_SOCKET;
    bool Open(int listener, uint16_t port) {
        client = bxtest::ConnectLoopback(port);
        if (client < 0) return false;
        server = NetAccept(listener, nullptr, nullptr);
        return server != INVALID_SOCKET;
    }
    ~TestPair() {
        if (client >= 0) close(client);
        if (server != INVALID_SOCKET) NetCloseSocket(server);
    }
};
