// The engine's totals (server/counters.h) in the Prometheus text format
// (version 0.0.4), for the metrics endpoint. Any thread.
#pragma once

#include <string>

std::string MetricsText();
