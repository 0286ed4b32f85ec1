// What the speed limits and the quotas keep per connection (a field of Conn):
// plain data, zero for a new connection.
#pragma once

#include <cstdint>

enum LimitWait : uint8_t {
    LIMIT_WAIT_NONE = 0,
    LIMIT_WAIT_SEND = 1,    // a download waits for its speed budget
    LIMIT_WAIT_RECEIVE = 2, // an upload waits for its speed budget
    LIMIT_WAIT_MEASURE = 3, // an upload waits for its account's first quota measurement
};

struct LimitState {
    // Speed limits: the account's rates (KiB/s) as the user list held them at
    // generation ratesGen (0 = to be read), and the account's shared budget.
    uint32_t ratesGen;
    uint32_t downRate;
    uint32_t upRate;
    void* bucket;      // the account's budget (rate_limit.cpp); nullptr = none
    uint8_t waiting;   // LimitWait
    uint8_t closeHeld; // the data connection closed while an upload waited to start
    uint8_t quotaOn;   // the current upload counts against a quota
    uint8_t newFile;   // the current upload created its file
    int64_t waitSinceMs;
    // Quotas: the current upload's write position and the file's length.
    uint64_t uploadPos;
    uint64_t uploadEnd;
    uint64_t reserved; // growth the last QuotaFit counted before the write
};
