// Where PASV and EPSV take a port from when PassivePorts is not set: a
// default range of the server's own, instead of port 0. Binding port 0 makes
// the kernel search its ephemeral range past every TIME_WAIT socket of
// earlier transfers, a search that grows with the load; a port of our own,
// bound with SO_REUSEADDR, costs one bind whatever the load.
#pragma once

#include <cstdint>

struct PortRange {
    uint16_t low, high;
};

// The dynamic ports 49152-65535 without the kernel's ephemeral range
// (ephemeralKnown 0: the whole of them): the larger piece left, or the whole
// when less than 1024 ports would be left.
PortRange DefaultPassiveRange(uint16_t ephemeralLow, uint16_t ephemeralHigh, int ephemeralKnown);
// The same for this machine, read once.
PortRange DefaultPassiveRange();

// Where a search of span ports starts: a different place for each choice, so
// that passive ports spread over the range. Socket thread.
uint32_t PassiveSearchStart(uint32_t span);

// Ports of the default range tried before the system chooses one.
constexpr uint32_t PASSIVE_DEFAULT_TRIES = 64;
