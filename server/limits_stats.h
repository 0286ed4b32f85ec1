// Counters of the speed limits and the quotas, for whoever reports on the
// server (metrics): written by the socket threads, read by any thread.
#pragma once

#include <atomic>
#include <cstdint>

// Milliseconds transfers spent waiting for their speed budget, summed over
// transfers (two transfers waiting one second count two seconds).
extern std::atomic<uint64_t> limitsThrottledMs;
// Uploads refused or ended with 552 because they would cross a quota.
extern std::atomic<uint64_t> limitsQuotaRefusals;
