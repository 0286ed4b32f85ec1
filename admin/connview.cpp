#include "admin/connview.h"

#include <atomic>

#include "platform/mainqueue.h"

namespace {
// Read by any thread (the posters); the items and the observer belong to the
// main thread.
std::atomic<bool> viewExists{false};
std::vector<ConnViewItem> items;
void (*viewObserver)() = nullptr;

void Changed() {
    if (viewObserver) viewObserver();
}
} // namespace

void ConnViewEnable(bool enabled) {
    viewExists.store(enabled);
}
bool ConnViewExists() {
    return viewExists.load();
}

void ConnViewPostInsert(uint16_t connId, const char* text) {
    if (!ConnViewExists()) return;
    // The text is copied now: the caller's buffer may be gone when the main
    // thread gets to it.
    std::string copy = text ? text : "";
    MainQueuePost([connId, copy] { ConnViewInsert(connId, copy.c_str()); });
}

void ConnViewPostDelete(uint16_t connId) {
    if (!ConnViewExists()) return;
    MainQueuePost([connId] { ConnViewDelete(connId); });
}

void ConnViewInsert(uint16_t connId, const char* text) {
    if (!ConnViewExists()) return;
    items.push_back({connId, text ? text : ""});
    Changed();
}

int ConnViewDelete(uint16_t connId) {
    if (!ConnViewExists()) return 0;
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (it->connId == connId) {
            items.erase(it);
            Changed();
            return 1;
        }
    }
    return 0;
}

void ConnViewClear() {
    if (items.empty()) return;
    items.clear();
    Changed();
}

std::vector<ConnViewItem> ConnViewItems() {
    return items;
}

void ConnViewSetObserver(void (*observer)()) {
    viewObserver = observer;
}
