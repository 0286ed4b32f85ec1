// The ports the kernel hands out for outgoing connections and for binds to
// port 0 (net.ipv4.ip_local_port_range).
#pragma once

#include <cstdint>

// 1 with the range in *low and *high, 0 when the system does not say.
int EphemeralPortRange(uint16_t* low, uint16_t* high,
                       const char* path = "/proc/sys/net/ipv4/ip_local_port_range");
