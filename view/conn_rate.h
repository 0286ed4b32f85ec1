// The rate of each transfer over the last seconds and the summary of a
// sample, worked out on the main thread from the samples of the details view
// (the engine counts only bytes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "view/conn_record.h"

// The seconds a rate is taken over.
constexpr int64_t CONN_RATE_WINDOW_MS = 5000;

// Fills the rate of each record of a sample taken at nowMs (the engine's
// clock, as transferStartMs), from the earlier samples of the same transfer
// within the window (from its start while it is younger), and returns the
// summary of the sample.
ConnSummary ConnRateUpdate(ConnRecord* records, size_t count, int64_t nowMs);
// Forgets every earlier sample.
void ConnRateReset();
