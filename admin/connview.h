// The connections view model: one item per connection of the server, with
// the text "%s:%u" (dotted address, port) and the connection's connId. It is
// owned by the main thread, which the window draws from.
//
// The socket thread never touches it directly: it queues inserts and removals
// (ConnViewPost*) on the main thread's queue (platform/mainqueue.h), which the
// main loop drains, so the socket thread never waits for the main thread, also
// not while the main thread waits for it at shutdown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ConnViewItem {
    uint16_t connId;
    std::string text;
};

// Whether the view exists in this process (the server and admin roles with a
// window or the headless model; the service role has none).
void ConnViewEnable(bool enabled);
bool ConnViewExists();

// Any thread: queue a change for the main thread.
void ConnViewPostInsert(uint16_t connId, const char* text);
void ConnViewPostDelete(uint16_t connId);

// Main thread.
void ConnViewInsert(uint16_t connId, const char* text);
// Removes the first item carrying connId; 1 when found.
int ConnViewDelete(uint16_t connId);
void ConnViewClear();
std::vector<ConnViewItem> ConnViewItems();
// Called (on the main thread) after every change, for a window to redraw.
void ConnViewSetObserver(void (*observer)());
