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

// The configured range (PassivePorts) is searched from after the port
// handed out last, so that ports are reused as late as possible. The cursor
// is shared by every socket thread: PassiveCursorClaim hands each search a
// start of its own (searches on two threads at once never start at the same
// port) and moves the cursor past it; PassiveCursorHanded moves it on past
// the port a search bound, never back behind what another search has
// claimed since. A cursor outside [low, high] (the range changed) starts at
// low.
uint16_t PassiveCursorClaim(uint16_t low, uint16_t high);
void PassiveCursorHanded(uint16_t start, uint16_t port, uint16_t low, uint16_t high);

// Ports of the default range tried before the system chooses one.
constexpr uint32_t PASSIVE_DEFAULT_TRIES = 64;
