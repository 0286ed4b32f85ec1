#include "server/passive_range.h"

#include <random>

#include "platform/ephemeral_ports.h"

namespace {
constexpr uint32_t kDynamicLow = 49152, kDynamicHigh = 65535;
constexpr uint32_t kLeastUseful = 1024; // fewer ports left: take the whole range
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
