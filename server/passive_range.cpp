#include "server/passive_range.h"

#include <atomic>
#include <random>

#include "platform/ephemeral_ports.h"

namespace {
constexpr uint32_t kDynamicLow = 49152, kDynamicHigh = 65535;
constexpr uint32_t kLeastUseful = 1024; // fewer ports left: take the whole range

std::atomic<uint16_t> cursor{0}; // the next search's start in the configured range

uint16_t After(uint16_t port, uint16_t low, uint16_t high) {
    return port == high ? low : (uint16_t)(port + 1);
}
// How far `to` lies after `from` going up the range (and round from high to
// low): 1 to span, `from` itself being a whole round away.
uint32_t Ahead(uint16_t from, uint16_t to, uint16_t low, uint16_t high) {
    uint32_t span = (uint32_t)(high - low) + 1;
    return ((uint32_t)to + span - from - 1) % span + 1;
}
} // namespace

PortRange DefaultPassiveRange(uint16_t ephemeralLow, uint16_t ephemeralHigh, int ephemeralKnown) {
    PortRange whole = {(uint16_t)kDynamicLow, (uint16_t)kDynamicHigh};
    if (!ephemeralKnown || ephemeralHigh < kDynamicLow || ephemeralLow > kDynamicHigh) return whole;
    uint32_t below = ephemeralLow > kDynamicLow ? ephemeralLow - kDynamicLow : 0;
    uint32_t above = ephemeralHigh < kDynamicHigh ? kDynamicHigh - ephemeralHigh : 0;
    if (below < kLeastUseful && above < kLeastUseful) return whole;
    if (above >= below) return {(uint16_t)(ephemeralHigh + 1), (uint16_t)kDynamicHigh};
    return {(uint16_t)kDynamicLow, (uint16_t)(ephemeralLow - 1)};
}

PortRange DefaultPassiveRange() {
    static const PortRange range = [] {
        uint16_t low = 0, high = 0;
        int known = EphemeralPortRange(&low, &high);
        return DefaultPassiveRange(low, high, known);
    }();
    return range;
}

uint32_t PassiveSearchStart(uint32_t span) {
    thread_local std::minstd_rand next(std::random_device{}());
    return span ? (uint32_t)(next() % span) : 0;
}

uint16_t PassiveCursorClaim(uint16_t low, uint16_t high) {
    uint16_t seen = cursor.load(std::memory_order_relaxed);
    for (;;) {
        uint16_t start = seen >= low && seen <= high ? seen : low;
        if (cursor.compare_exchange_weak(seen, After(start, low, high), std::memory_order_relaxed))
            return start;
    }
}

void PassiveCursorHanded(uint16_t start, uint16_t port, uint16_t low, uint16_t high) {
    uint16_t wanted = After(port, low, high);
    uint16_t seen = cursor.load(std::memory_order_relaxed);
    for (;;) {
        bool inRange = seen >= low && seen <= high;
        if (inRange && Ahead(start, seen, low, high) >= Ahead(start, wanted, low, high)) return;
        if (cursor.compare_exchange_weak(seen, wanted, std::memory_order_relaxed)) return;
    }
}
