// The second process of the messaging tests. One command per line on
// standard input, one reply line on standard output; ends at end of input.
//   role server|admin          lock | unlock: locked|exists|unlocked
//   start                      IpcStartup: started
//   send TYPE LEN SEED         IpcSend of LEN pattern bytes: sent RESULT
//   recv CAP WAITMS            IpcRecv polled up to WAITMS: recv 1 TYPE LEN HEX | recv 0
//   raw server|client HEX      one raw datagram into a slot: raw 1 | raw 0 ERROR
//   burst TAG COUNT            COUNT 256-byte messages, each retried while the
//                              slot is full: burst SENT
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "ipc/ipc.h"
#include "ipc/role.h"
#include "platform/rolelock.h"
#include "platform/slot.h"
#include "tests/ipc/ipc_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
int lockHandle = -1;

std::string Recv(unsigned cap, int waitMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::vector<uint8_t> buffer(cap + 1);
    for (;;) {
        uint8_t type = 0;
        uint32_t capacity = cap;
        if (IpcRecv(&type, buffer.data(), &capacity)) {
            return "recv 1 " + std::to_string(type) + " " + std::to_string(capacity) + " " +
                   ipctest::Hex(buffer.data(), capacity);
        }
        if (Clock::now() > deadline) return "recv 0";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string Raw(const std::string& slot, const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    int h = SlotOpen(("\\\\.\\mailslot\\Quennel\\Brindlex\\" + slot).c_str());
    uint32_t written = 0;
    bool ok = h >= 0 && SlotWrite(h, bytes.data(), (uint32_t)bytes.size(), &written) &&
              written == bytes.size();
    std::string reply = ok ? "raw 1" : "raw 0 " + std::to_string(SlotLastError());
    SlotClose(h);
    return reply;
}

// Message i of writer TAG: the tag, the sequence number (16 bits), then a
// pattern seeded by both.
std::string Burst(unsigned tag, unsigned count) {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    uint8_t data[IPC_DATA_MAX];
    for (unsigned i = 0; i < count; i++) {
        data[0] = (uint8_t)tag;
        data[1] = (uint8_t)(i & 0xFF);
        data[2] = (uint8_t)(i >> 8);
        for (unsigned k = 3; k < IPC_DATA_MAX; k++) data[k] = ipctest::PatternByte(tag * 1000 + i, k);
        while (!IpcSend(IPC_MSG_USERS_CHANGED, data, IPC_DATA_MAX)) {
            if (Clock::now() > deadline) return "burst " + std::to_string(i);
            std::this_thread::yield();
        }
    }
    return "burst " + std::to_string(count);
}

std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, word;
    unsigned a = 0, b = 0, c = 0;
    in >> cmd;
    if (cmd == "role") {
        in >> word;
        processRole = word == "admin" ? ROLE_ADMIN : ROLE_SERVER;
        return "ok";
    }
    if (cmd == "lock") {
        int exists = 0;
        lockHandle = RoleLockCreate(processRole == ROLE_ADMIN ? ROLE_LOCK_ADMIN : ROLE_LOCK_SERVER, &exists);
        return lockHandle >= 0 ? "locked" : exists ? "exists" : "error";
    }
    if (cmd == "unlock") {
        RoleLockRelease(lockHandle);
        return "unlocked";
    }
    if (cmd == "start") {
        IpcStartup();
        return "started";
    }
    if (cmd == "send") {
        in >> a >> b >> c;
        std::vector<uint8_t> data(b + 1);
        for (unsigned i = 0; i < b; i++) data[i] = ipctest::PatternByte(c, i);
        return "sent " + std::to_string(IpcSend((uint8_t)a, data.data(), b));
    }
    if (cmd == "recv") {
        in >> a >> b;
        return Recv(a, (int)b);
    }
    if (cmd == "raw") {
        in >> word;
        std::string hex;
        in >> hex;
        return Raw(word, hex);
    }
    if (cmd == "burst") {
        in >> a >> b;
        return Burst(a, b);
    }
    return "unknown " + cmd;
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        printf("%s\n", Run(line).c_str());
        fflush(stdout);
    }
    IpcShutdown();
    RoleLockRelease(lockHandle);
    return 0;
}
