// The second process of the messaging tests. One command per line on
// standard input, one reply line on standard output; ends at end of input.
//   role server|admin          lock | unlock: locked|exists|unlocked
//   start                      IpcStartup: started
//   send TYPE LEN SEED         IpcSend of LEN pattern bytes: sent RESULT
//   recv CAP WAITMS            IpcRecv polled up to WAITMS: recv 1 TYPE LEN HEX | recv 0
//   raw server|client HEX      one raw datagram into a slot: raw 1 | raw 0 ERROR
//   burst TAG COUNT            COUNT burst messages, each retried while the
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
    std::string got;
    while ((got = ipctest::RecvText(cap)) == "recv 0" && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return got;
}

std::string Raw(const std::string& slot, const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    int h = SlotOpen(("\\\\.\\mailslot\\Quennel\\Brindlex\\" + slot).c_str());
    uint32_t written = 0;
    bool ok = h >= 0 && SlotWrite(h, bytes.data(), (uint32_t)bytes.size(), &written) &&
              written == bytes.size();
    std::string reply = ok ? "raw 1" : "raw 0 " + std::to_string(SlotLastError());
    SlotClose(h);
    return reply;
}

std::string Burst(unsigned tag, unsigned count) {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    for (unsigned i = 0; i < count; i++) {
        std::vector<uint8_t> data = ipctest::BurstMessage(tag, i);
        while (!IpcSend(IPC_MSG_USERS_CHANGED, data.data(), IPC_DATA_MAX)) {
            if (Clock::now() > deadline) return "burst " + std::to_string(i);
            std::this_thread::yield();
        }
    }
    return "burst " + std::to_string(count);
}

std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, word, hex;
    unsigned a = 0, b = 0, c = 0;
    in >> cmd;
    if (cmd == "role" || cmd == "raw")
        in >> word >> hex;
    else
        in >> a >> b >> c;
    if (cmd == "role") {
        processRole = word == "admin" ? ROLE_ADMIN : ROLE_SERVER;
        return "ok";
    }
    if (cmd == "lock") {
        int exists = 0;
        lockHandle =
            RoleLockCreate(processRole == ROLE_ADMIN ? ROLE_LOCK_ADMIN : ROLE_LOCK_SERVER, &exists);
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
    if (cmd == "raw") return Raw(word, hex);
    if (cmd == "send") {
        std::vector<uint8_t> data = ipctest::Pattern(c, b + 1);
        return "sent " + std::to_string(IpcSend((uint8_t)a, data.data(), b));
    }
    if (cmd == "recv") return Recv(a, (int)b);
    if (cmd == "burst") return Burst(a, b);
    return "unknown " + cmd;
}

} // namespace

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
