// Support for the messaging tests: a private machine directory per test, the
// slot helper as a child process, message patterns, and received messages
// as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/ipc.h"
#include "tests/test_support.h"

namespace ipctest {

using bxtest::Child;

// A fresh BRINDLEX_ROOT for this process and the children it starts next.
struct MachineRoot {
    bxtest::TempDir temp{"bxipc"};
    const std::string& dir = temp.path;
    MachineRoot() { setenv("BRINDLEX_ROOT", dir.c_str(), 1); }
};

// Starts the slot helper in role ("server" or "admin") holding the role's
// lock, with its slots open.
inline bool StartRole(Child& child, const std::string& role) {
    return child.Start() && child.Ask("role " + role) == "ok" && child.Ask("lock") == "locked" &&
           child.Ask("start") == "started";
}

// A pattern that differs at every position and from seed to seed, so that a
// shifted, cut or mixed message shows.
inline std::vector<uint8_t> Pattern(unsigned seed, unsigned len) {
    std::vector<uint8_t> bytes(len);
    for (unsigned i = 0; i < len; i++)
        bytes[i] = (uint8_t)(seed * 31 + i * 7 + 1);
    return bytes;
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes)
        s.append({digits[b >> 4], digits[b & 15]});
    return s;
}

// Message i of writer tag in a burst: the tag, i (16 bits), then a pattern
// seeded by both.
inline std::vector<uint8_t> BurstMessage(unsigned tag, unsigned i) {
    std::vector<uint8_t> m = Pattern(tag * 1000 + i, IPC_DATA_MAX);
    m[0] = (uint8_t)tag;
    m[1] = (uint8_t)(i & 0xFF);
    m[2] = (uint8_t)(i >> 8);
    return m;
}

// One IpcRecv with room for cap bytes: "recv 1 TYPE LEN HEX", or "recv 0".
inline std::string RecvText(uint32_t cap) {
    std::vector<uint8_t> data(cap + 1);
    uint8_t type = 0;
    if (!IpcRecv(&type, data.data(), &cap)) return "recv 0";
    data.resize(cap);
    return "recv 1 " + std::to_string(type) + " " + std::to_string(cap) + " " + Hex(data);
}

} // namespace ipctest
