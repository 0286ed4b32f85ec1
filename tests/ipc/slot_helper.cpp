// The other process of the messaging tests. Reads one command per line on
// standard input and answers each with one line on standard output; ends at
// end of input or "quit".
//
//   role server|admin|service   set the process role
//   lock | unlock               take or let go the role's lock: locked|exists|error N
//   start | shutdown            IpcStartup / IpcShutdown
//   send TYPE LEN SEED          IpcSend of LEN pattern bytes: sent R
//   recv CAP WAITMS             IpcRecv, polled up to WAITMS: recv 1 TYPE LEN HEX | recv 0
//   raw SLOT HEX                one raw datagram into slot "server"|"client": raw 1|raw 0 ERR
//   burst TAG COUNT             COUNT messages of 256 bytes tagged TAG, each
//                               retried while the slot is full: burst SENT
//   holder                      RoleLockHolderPid of the server lock: holder PID
//   pid                         pid PID
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
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

const char* LockName() { return processRole == ROLE_ADMIN ? ROLE_LOCK_ADMIN : ROLE_LOCK_SERVER; }

std::string Lock() {
    int exists = 0;
    lockHandle = RoleLockCreate(LockName(), &exists);
    if (lockHandle >= 0) return "locked";
    if (exists) return "exists";
    return "error " + std::to_string(RoleLockLastError());
}

std::string Send(unsigned type, unsigned len, unsigned seed) {
    std::vector<uint8_t> data(len + 1);
    for (unsigned i = 0; i < len; i++) data[i] = ipctest::PatternByte(seed, i);
    return "sent " + std::to_string(IpcSend((uint8_t)type, data.data(), len));
}

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
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    std::string name = "\\\\.\\mailslot\\Quennel\\Brindlex\\" + slot;
    int h = SlotOpen(name.c_str());
    if (h < 0) return "raw 0 " + std::to_string(SlotLastError());
    uint32_t written = 0;
    int ok = SlotWrite(h, bytes.data(), (uint32_t)bytes.size(), &written);
    SlotClose(h);
    if (!ok || written != bytes.size()) return "raw 0 " + std::to_string(SlotLastError());
    return "raw 1";
}

// Message i of writer TAG: byte 0 the tag, bytes 1-2 the sequence number,
// then a pattern seeded by both.
std::string Burst(unsigned tag, unsigned count) {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    unsigned sent = 0;
    uint8_t data[IPC_DATA_MAX];
    for (unsigned i = 0; i < count; i++) {
        data[0] = (uint8_t)tag;
        data[1] = (uint8_t)(i & 0xFF);
        data[2] = (uint8_t)(i >> 8);
        for (unsigned k = 3; k < IPC_DATA_MAX; k++) data[k] = ipctest::PatternByte(tag * 1000 + i, k);
        while (!IpcSend(IPC_MSG_USERS_CHANGED, data, IPC_DATA_MAX)) {
            if (Clock::now() > deadline) return "burst " + std::to_string(sent);
            std::this_thread::yield();
        }
        sent++;
    }
    return "burst " + std::to_string(sent);
}

std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "role") {
        std::string r;
        in >> r;
        processRole = r == "admin" ? ROLE_ADMIN : r == "service" ? ROLE_SERVICE : ROLE_SERVER;
        return "ok";
    }
    if (cmd == "lock") return Lock();
    if (cmd == "unlock") {
        RoleLockRelease(lockHandle);
        lockHandle = -1;
        return "unlocked";
    }
    if (cmd == "start") {
        IpcStartup();
        return "started";
    }
    if (cmd == "shutdown") {
        IpcShutdown();
        return "down";
    }
    if (cmd == "send") {
        unsigned type = 0, len = 0, seed = 0;
        in >> type >> len >> seed;
        return Send(type, len, seed);
    }
    if (cmd == "recv") {
        unsigned cap = 0;
        int waitMs = 0;
        in >> cap >> waitMs;
        return Recv(cap, waitMs);
    }
    if (cmd == "raw") {
        std::string slot, hex;
        in >> slot >> hex;
        return Raw(slot, hex);
    }
    if (cmd == "burst") {
        unsigned tag = 0, count = 0;
        in >> tag >> count;
        return Burst(tag, count);
    }
    if (cmd == "holder") return "holder " + std::to_string(RoleLockHolderPid(ROLE_LOCK_SERVER));
    if (cmd == "pid") return "pid " + std::to_string(getpid());
    return "unknown " + cmd;
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit") break;
        std::string reply = Run(line);
        printf("%s\n", reply.c_str());
        fflush(stdout);
    }
    IpcShutdown();
    RoleLockRelease(lockHandle);
    return 0;
}
