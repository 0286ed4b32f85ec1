// The process's limit on open descriptors (RLIMIT_NOFILE): every connection
// of the server holds at least one, so the soft limit is raised to the hard
// one at start-up.
#pragma once

#include <cstdint>

struct DescriptorLimit {
    uint64_t soft; // UINT64_MAX = unlimited
    uint64_t hard;
};

// Raises the soft limit to the hard one. before receives the limit as it was
// found, after as it is now (both may be null). 1 on success (also when
// nothing needed raising), 0 after logging the cause.
int DescriptorLimitRaise(DescriptorLimit* before, DescriptorLimit* after);
