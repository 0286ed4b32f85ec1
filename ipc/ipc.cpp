#include "ipc/ipc.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "ipc/role.h"
#include "log/log.h"
#include "platform/rolelock.h"
#include "platform/slot.h"

namespace {

const char SERVER_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Server";
const char CLIENT_SLOT[] = "\\\\.\\mailslot\\Quennel\\Brindlex\\Client";

// What the slots are created with: everyone may open, read and write them,
// so that a service running under a system account and an admin running
// under a user account reach each other.
struct SecurityAttributes {
    uint32_t length;
    int inheritHandle;
    uint32_t mode; // permissions of the slot files; 0 = the process default
};

SecurityAttributes sattrib = {0, 0, 0};

// The slot this process created and reads: main thread only.
int incomingSlot = -1;

// The other role's slot, opened for writing. The socket thread and the main
// thread both send, and the socket thread closes it after a failed write, so
// opening, closing and every use of it happen under outgoingLock.
int outgoingSlot = -1;
std::mutex outgoingLock;

void CloseIncoming() {
    SlotClose(incomingSlot);
    incomingSlot = -1;
}

// Malformed datagrams dropped since the last good message: any local user
// may write to a slot, so a bad one is dropped and the slot stays. Only the
// first of a burst is logged; the count follows with the next good message.
uint32_t droppedInBurst = 0;

// Takes the next message off the slot and drops it. Returns -1.
int DropMessage(const char* why, uint32_t size) {
    std::vector<uint8_t> junk(std::min(size, SLOT_MESSAGE_KEEP));
    uint32_t got = 0;
    SlotRead(incomingSlot, junk.data(), (uint32_t)junk.size(), &got);
    if (droppedInBurst++ == 0)
        LogPrintf(LOG_WARNING, "IpcRecv: %s (%lu bytes), dropped", why, (unsigned long)size);
    return -1;
}

// Caller holds outgoingLock.
void OpenClientSlotLocked() {
    if (outgoingSlot >= 0) return;
    outgoingSlot = SlotOpen(CLIENT_SLOT);
    if (outgoingSlot >= 0) {
        LogPrintf(LOG_INFO, "IpcOpenClientSlot: opened client slot");
    } else {
        LogPrintf(LOG_INFO, "IpcOpenClientSlot: error %lu opening client slot",
                  (unsigned long)SlotLastError());
    }
}

} // namespace

void InitSattrib() {
    sattrib.length = 12;
    sattrib.inheritHandle = 0;
    sattrib.mode = 0666;
}

void IpcStartup() {
    InitSattrib();
    if (incomingSlot >= 0) return; // already set up
    if (RoleIsServerOrService()) {
        incomingSlot = SlotCreate(SERVER_SLOT, sattrib.mode, RoleLockHeld(ROLE_LOCK_SERVER));
        if (incomingSlot >= 0) {
            LogPrintf(LOG_INFO, "IpcStartup: created server slot");
        } else {
            LogPrintf(LOG_WARNING, "IpcStartup: error %lu creating server slot",
                      (unsigned long)SlotLastError());
        }
        IpcOpenClientSlot();
        return;
    }
    incomingSlot = SlotCreate(CLIENT_SLOT, sattrib.mode, RoleLockHeld(ROLE_LOCK_ADMIN));
    if (incomingSlot >= 0) {
        LogPrintf(LOG_INFO, "IpcStartup: created client slot");
    } else {
        LogPrintf(LOG_WARNING, "IpcStartup: error %lu creating client slot",
                  (unsigned long)SlotLastError());
    }
    std::lock_guard<std::mutex> guard(outgoingLock);
    if (outgoingSlot >= 0) return;
    outgoingSlot = SlotOpen(SERVER_SLOT);
    if (outgoingSlot >= 0) {
        LogPrintf(LOG_INFO, "IpcStartup: opened server slot");
    } else {
        LogPrintf(LOG_INFO, "IpcStartup: error %lu opening server slot",
                  (unsigned long)SlotLastError());
    }
}

void IpcOpenClientSlot() {
    // Only the server and service roles write the client slot; in the admin
    // role it is the process's own incoming slot.
    if (!RoleIsServerOrService()) return;
    std::lock_guard<std::mutex> guard(outgoingLock);
    OpenClientSlotLocked();
}

int IpcSend(uint8_t type, const void* data, uint32_t length) {
    uint8_t message[IPC_MESSAGE_MAX];
    std::lock_guard<std::mutex> guard(outgoingLock);
    if (outgoingSlot < 0) return 0;
    if (length > IPC_DATA_MAX) {
        LogPrintf(LOG_WARNING, "IpcSend: message size too big!");
        return 0;
    }
    if (length && !data) {
        LogPrintf(LOG_WARNING, "IpcSend: no data for %lu bytes", (unsigned long)length);
        return 0;
    }
    message[0] = type;
    message[1] = 0;
    message[2] = (uint8_t)(length & 0xFF);
    message[3] = (uint8_t)(length >> 8);
    if (length) memcpy(message + IPC_HEADER_SIZE, data, length);
    int size = (int)(length + IPC_HEADER_SIZE);

    uint32_t written = 0;
    if (!SlotWrite(outgoingSlot, message, (uint32_t)size, &written)) {
        LogPrintf(LOG_WARNING, "IpcSend: error %lu writing to slot",
                  (unsigned long)SlotLastError());
        SlotClose(outgoingSlot);
        outgoingSlot = -1;
        return 0;
    }
    if (written < (uint32_t)size) {
        LogPrintf(LOG_WARNING, "IpcSend: only wrote %lu of %d", (unsigned long)written, size);
        return 0;
    }
    LogPrintf(LOG_INFO, "IpcSend: wrote %d to slot", size);
    return 1;
}

int IpcNotifyServer(uint8_t type) {
    int slot = SlotOpen(SERVER_SLOT);
    if (slot < 0) return 0;
    const uint8_t message[IPC_HEADER_SIZE] = {type, 0, 0, 0};
    uint32_t written = 0;
    int ok = SlotWrite(slot, message, sizeof message, &written) && written == sizeof message;
    SlotClose(slot);
    return ok;
}

namespace {

// The next message: 1 when taken, 0 when there is none or it cannot be
// taken, -1 when a malformed one was dropped (another may follow).
int TakeMessage(uint8_t* type, void* buffer, uint32_t* capacity) {
    uint32_t nextSize = 0, count = 0;
    if (!SlotInfo(incomingSlot, &nextSize, &count)) {
        LogPrintf(LOG_WARNING, "IpcRecv: error %lu getting slot info",
                  (unsigned long)SlotLastError());
        return 0;
    }
    if (count == 0) return 0;
    if (nextSize > IPC_MESSAGE_MAX) return DropMessage("message too big", nextSize);
    if (nextSize < IPC_HEADER_SIZE) return DropMessage("message too small", nextSize);

    uint8_t message[IPC_MESSAGE_MAX];
    uint32_t got = 0;
    if (!SlotRead(incomingSlot, message, sizeof message, &got) || got < IPC_HEADER_SIZE) {
        LogPrintf(LOG_WARNING, "IpcRecv: error %lu reading message from slot",
                  (unsigned long)SlotLastError());
        return 0;
    }
    if (droppedInBurst > 1)
        LogPrintf(LOG_WARNING, "IpcRecv: %lu malformed messages dropped in all",
                  (unsigned long)droppedInBurst);
    droppedInBurst = 0;

    uint8_t msgType = message[0];
    uint32_t length = (uint32_t)message[2] | ((uint32_t)message[3] << 8);
    // The length field is the sender's word only: never read past what
    // actually arrived. Such a message is dropped; the slot stays open.
    if (length > got - IPC_HEADER_SIZE) {
        LogPrintf(LOG_WARNING,
                  "IpcRecv: message type %u claims %lu data bytes but carries %lu, dropped",
                  (unsigned)msgType, (unsigned long)length, (unsigned long)(got - IPC_HEADER_SIZE));
        return -1;
    }
    LogPrintf(LOG_INFO, "IpcRecv: read message type %u, data size %u", (unsigned)msgType,
              (unsigned)length);
    if (length) {
        if (length > *capacity || !buffer) {
            LogPrintf(LOG_WARNING, "IpcRecv: receiving buffer size too small!");
            return 0;
        }
        memcpy(buffer, message + IPC_HEADER_SIZE, length);
    }
    *type = msgType;
    *capacity = length;
    // The first message from an admin opens the way back to it.
    if (RoleIsServerOrService()) IpcOpenClientSlot();
    return 1;
}

} // namespace

int IpcRecv(uint8_t* type, void* buffer, uint32_t* capacity) {
    if (incomingSlot < 0 || !type || !capacity) return 0;
    // Malformed messages are skipped, a bounded number per call, so that a
    // good one behind them is not left waiting for the next timer tick.
    for (int dropped = 0; dropped < 256; dropped++) {
        int taken = TakeMessage(type, buffer, capacity);
        if (taken >= 0) return taken;
    }
    return 0;
}

void IpcShutdown() {
    if (incomingSlot >= 0) {
        LogPrintf(LOG_INFO, "IpcShutdown: closing incoming slot");
        CloseIncoming();
    }
    {
        std::lock_guard<std::mutex> guard(outgoingLock);
        if (outgoingSlot >= 0) {
            LogPrintf(LOG_INFO, "IpcShutdown: closing outgoing slot");
            SlotClose(outgoingSlot);
            outgoingSlot = -1;
        }
    }
    sattrib = {0, 0, 0};
}

namespace {
// The address of a closed connection in the update record.
const uint8_t CLOSED_ADDRESS[4] = {0xFF, 0xFF, 0xFF, 0xFF};
// The same in the IPv6 update record.
const uint8_t CLOSED_ADDRESS6[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
} // namespace

namespace {
// The number's low 16 bits lead the record, its high 16 bits (when there
// are any) follow the fixed part at `at`; the record's length.
uint32_t PutNumber(uint8_t* out, uint32_t connId, uint32_t at) {
    out[0] = (uint8_t)(connId & 0xFF);
    out[1] = (uint8_t)(connId >> 8 & 0xFF);
    if (connId <= 0xFFFF) return at;
    out[at] = (uint8_t)(connId >> 16 & 0xFF);
    out[at + 1] = (uint8_t)(connId >> 24);
    return at + 2;
}

uint32_t GetNumber(const uint8_t* in, uint32_t length, uint32_t at) {
    uint32_t connId = (uint32_t)(in[0] | in[1] << 8);
    if (length > at) connId |= (uint32_t)(in[at] | in[at + 1] << 8) << 16;
    return connId;
}
} // namespace

uint32_t IpcPackUpdate(uint8_t out[IPC_UPDATE_WIDE_SIZE], uint32_t connId,
                       const NetAddress* client) {
    if (!client) {
        out[2] = out[3] = 0;
        memcpy(out + 4, CLOSED_ADDRESS, 4);
    } else {
        // Port and address in network order.
        NetAddress v4 = NetAddressUnmapped(*client);
        out[2] = (uint8_t)(v4.port >> 8);
        out[3] = (uint8_t)(v4.port & 0xFF);
        memcpy(out + 4, v4.bytes, 4);
    }
    return PutNumber(out, connId, IPC_UPDATE_SIZE);
}

int IpcUnpackUpdate(const uint8_t* in, uint32_t length, uint32_t* connId, NetAddress* client,
                    bool* open) {
    if (length != IPC_UPDATE_SIZE && length != IPC_UPDATE_WIDE_SIZE) return 0;
    *connId = GetNumber(in, length, IPC_UPDATE_SIZE);
    *open = memcmp(in + 4, CLOSED_ADDRESS, 4) != 0;
    if (*open) *client = NetAddressIpv4(in[4], in[5], in[6], in[7], (uint16_t)(in[2] << 8 | in[3]));
    return 1;
}

uint32_t IpcPackUpdate6(uint8_t out[IPC_UPDATE6_WIDE_SIZE], uint32_t connId,
                        const NetAddress* client) {
    if (!client) {
        out[2] = out[3] = 0;
        memcpy(out + 4, CLOSED_ADDRESS6, 16);
    } else {
        out[2] = (uint8_t)(client->port >> 8);
        out[3] = (uint8_t)(client->port & 0xFF);
        memcpy(out + 4, client->bytes, 16);
    }
    return PutNumber(out, connId, IPC_UPDATE6_SIZE);
}

int IpcUnpackUpdate6(const uint8_t* in, uint32_t length, uint32_t* connId, NetAddress* client,
                     bool* open) {
    if (length != IPC_UPDATE6_SIZE && length != IPC_UPDATE6_WIDE_SIZE) return 0;
    *connId = GetNumber(in, length, IPC_UPDATE6_SIZE);
    *open = memcmp(in + 4, CLOSED_ADDRESS6, 16) != 0;
    if (!*open) return 1;
    *client = {};
    client->family = NET_FAMILY_IPV6;
    memcpy(client->bytes, in + 4, 16);
    client->port = (uint16_t)(in[2] << 8 | in[3]);
    return 1;
}
