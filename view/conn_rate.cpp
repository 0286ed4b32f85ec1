#include "view/conn_rate.h"

#include <vector>

namespace {
constexpr int kSamplesKept = 8;

struct Sample {
    int64_t ms;
    uint64_t bytes;
};
// The recent samples of each connection's transfer, by connId.
struct History {
    int64_t transferStartMs = 0;
    Sample samples[kSamplesKept] = {};
    int count = 0;
};
std::vector<History> histories;

uint32_t RateOf(History& history, const ConnRecord& record, int64_t now) {
    if (history.transferStartMs != record.transferStartMs) {
        history = History();
        history.transferStartMs = record.transferStartMs;
    }
    // The oldest sample still inside the window; else the transfer's start.
    Sample base = {record.transferStartMs, 0};
    for (int i = 0; i < history.count; i++) {
        if (now - history.samples[i].ms <= CONN_RATE_WINDOW_MS) {
            base = history.samples[i];
            break;
        }
    }
    if (history.count == kSamplesKept) {
        for (int i = 1; i < kSamplesKept; i++)
            history.samples[i - 1] = history.samples[i];
        history.count--;
    }
    history.samples[history.count++] = {now, record.bytes};
    if (now <= base.ms || record.bytes < base.bytes) return 0;
    uint64_t rate = (record.bytes - base.bytes) * 1000 / (uint64_t)(now - base.ms);
    return rate > UINT32_MAX ? UINT32_MAX : (uint32_t)rate;
}
} // namespace

ConnSummary ConnRateUpdate(ConnRecord* records, size_t count, int64_t nowMs) {
    ConnSummary summary = {};
    for (size_t i = 0; i < count; i++) {
        ConnRecord& record = records[i];
        summary.connections++;
        if (record.account[0]) summary.loggedIn++;
        if (record.direction == CONN_XFER_NONE || record.transferStartMs == 0) {
            record.rate = 0;
            if (record.direction != CONN_XFER_NONE) summary.transfers++;
            continue;
        }
        summary.transfers++;
        if (record.connId >= histories.size()) histories.resize((size_t)record.connId + 1);
        record.rate = RateOf(histories[record.connId], record, nowMs);
        summary.rate += record.rate;
    }
    return summary;
}

void ConnRateReset() {
    histories.clear();
}
