#include "view/connview.h"

#include <atomic>

#include "platform/mainqueue.h"

namespace {
// Read by any thread (the posters); the items and the observer belong to the
// main thread.
std::atomic<bool> viewExists{false};
std::vector<ConnRecord> items;
void (*viewObserver)() = nullptr;
ConnSummary summary = {};
bool detailsShown = false;

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

void ConnViewPostInsert(const ConnRecord& record) {
    if (!ConnViewExists()) return;
    // The record is copied now: the caller's may be gone when the main
    // thread gets to it.
    MainQueuePost([record] { ConnViewInsert(record); });
}

void ConnViewPostDelete(uint32_t connId) {
    if (!ConnViewExists()) return;
    MainQueuePost([connId] { ConnViewDelete(connId); });
}

void ConnViewInsert(const ConnRecord& record) {
    if (!ConnViewExists()) return;
    items.push_back(record);
    Changed();
}

int ConnViewDelete(uint32_t connId) {
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

std::vector<ConnRecord> ConnViewItems() {
    return items;
}

void ConnViewSetObserver(void (*observer)()) {
    viewObserver = observer;
}

void ConnViewSetDetails(const ConnRecord* records, size_t count) {
    if (!ConnViewExists() || count == 0) return;
    bool changed = false;
    for (size_t i = 0; i < count; i++) {
        for (ConnRecord& item : items) {
            if (item.connId != records[i].connId || item.client.port != records[i].client.port)
                continue;
            NetAddress client = item.client; // the list's own, from the insert
            item = records[i];
            item.client = client;
            changed = true;
            break;
        }
    }
    if (changed) Changed();
}

void ConnViewSetSummary(const ConnSummary& value) {
    summary = value;
    Changed();
}

ConnSummary ConnViewSummary() {
    return summary;
}

void ConnViewSetDetailsShown(bool shown) {
    detailsShown = shown;
}
bool ConnViewDetailsShown() {
    return detailsShown;
}
