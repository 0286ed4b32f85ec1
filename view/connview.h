// The connections view model: one record per connection of the server, in
// the order they were added. It is owned by the main thread, which the window
// draws from; the program fills it (the server role from the engine's
// events, the admin role from the server's update records).
//
// The socket thread never touches it directly: it queues inserts and removals
// (ConnViewPost*) on the main thread's queue (platform/mainqueue.h), which the
// main loop drains, so the socket thread never waits for the main thread, also
// not while the main thread waits for it at shutdown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "view/conn_record.h"

// Whether the view exists in this process (the server and admin roles with a
// window or the headless model; the service role has none).
void ConnViewEnable(bool enabled);
bool ConnViewExists();

// Any thread: queue a change for the main thread.
void ConnViewPostInsert(const ConnRecord& record);
void ConnViewPostDelete(uint32_t connId);

// Main thread.
void ConnViewInsert(const ConnRecord& record);
// Removes the first item carrying connId; 1 when found.
int ConnViewDelete(uint32_t connId);
void ConnViewClear();
std::vector<ConnRecord> ConnViewItems();
// Called (on the main thread) after every change, for a window to redraw.
void ConnViewSetObserver(void (*observer)());

// The details view. A sample gives the details of listed connections (the
// items carrying their connId take them; a record without an item is
// dropped: the list itself follows only the inserts and removals) and the
// summary of all of them. Main thread.
void ConnViewSetDetails(const ConnRecord* records, size_t count);
void ConnViewSetSummary(const ConnSummary& summary);
ConnSummary ConnViewSummary();
// Whether a details view of this process is shown (so samples are wanted).
void ConnViewSetDetailsShown(bool shown);
bool ConnViewDetailsShown();
