// The metrics endpoint: an HTTP server (libmicrohttpd, on a thread of its
// own) that answers GET /metrics with the text a render function gives (the
// Prometheus text format), 404 for another path and 405 for another method.
// Main thread: start and stop.
#pragma once

#include <string>

#include "platform/address.h"

// Listens at address (a listening socket of its own, close-on-exec) and
// serves; a running endpoint is stopped first. 1 on success; else 0 with the
// reason ("address already in use") in *why.
int HttpMetricsStart(const NetAddress& address, std::string (*render)(), std::string* why);
void HttpMetricsStop();
bool HttpMetricsRunning();
