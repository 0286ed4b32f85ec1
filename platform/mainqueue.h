// The main thread's queue of work from other threads: the stand-in for
// posting messages to the main window. Any thread may post; the main loop
// drains the queue on the main thread. Posting never waits for the main
// thread.
#pragma once

#include <functional>

void MainQueuePost(std::function<void()> work);
// Main thread: runs every queued piece of work in posting order; the count.
int MainQueueDrain();
// A descriptor that is readable while work is queued (for the main loop's
// wait); created on first use.
int MainQueueWakeFd();
