// Support for the messaging tests: a private machine directory per test, the
// slot helper as a child process, and message patterns.
#pragma once

#include <cstdint>
#include <string>

#include "tests/test_support.h"

namespace ipctest {

using bxtest::Child;

// A fresh BRINDLEX_ROOT for this process and the children it starts next.
struct MachineRoot {
    bxtest::TempDir temp{"bxipc"};
    const std::string& dir = temp.path;
    MachineRoot() { setenv("BRINDLEX_ROOT", dir.c_str(), 1); }
};

// A pattern that differs at every position and from seed to seed, so that a
// shifted, cut or mixed message shows.
inline uint8_t PatternByte(unsigned seed, unsigned i) { return (uint8_t)(seed * 31 + i * 7 + 1); }

inline std::string Hex(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += "0123456789abcdef"[bytes[i] >> 4];
        s += "0123456789abcdef"[bytes[i] & 15];
    }
    return s;
}

inline std::string PatternHex(unsigned seed, unsigned len) {
    std::string s;
    for (unsigned i = 0; i < len; i++) {
        uint8_t b = PatternByte(seed, i);
        s += Hex(&b, 1);
    }
    return s;
}

}  // namespace ipctest
