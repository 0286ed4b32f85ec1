// Fuzz target: the message-slot record reader. Datagrams of any size and
// content written to this process's slot are read by IpcRecv: a record is
// taken whole or dropped, never read past what arrived, and the slot keeps
// working (it is made again after the reader closed it).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ipc/ipc.h"
#include "ipc/ipc_details.h"
#include "ipc/role.h"
#include "platform/slot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static bool ready = [] {
        char dir[] = "/tmp/bx-fuzz-slot-XXXXXX";
        if (!mkdtemp(dir)) abort();
        setenv("BRINDLEX_ROOT", dir, 1);
        processRole = ROLE_ADMIN; // reads the client slot
        return true;
    }();
    IpcStartup();
    int writer = SlotOpen("\\\\.\\mailslot\\Quennel\\Brindlex\\Client");
    if (writer < 0) abort();
    // The input is a run of datagrams, each a length byte pair and its bytes.
    size_t at = 0;
    int sent = 0;
    while (at + 2 <= size && sent < 16) {
        size_t length = ((size_t)data[at] << 8 | data[at + 1]) % 600;
        at += 2;
        if (length > size - at) length = size - at;
        uint32_t written = 0;
        SlotWrite(writer, data + at, (uint32_t)length, &written);
        at += length;
        sent++;
    }
    SlotClose(writer);
    for (int i = 0; i < sent + 1; i++) {
        uint8_t type = 0xEE;
        uint8_t buffer[IPC_DATA_MAX + 16];
        memset(buffer, 0xA5, sizeof buffer);
        uint32_t capacity = IPC_DATA_MAX;
        if (!IpcRecv(&type, buffer, &capacity)) continue;
        if (capacity > IPC_DATA_MAX) abort();
        for (size_t k = IPC_DATA_MAX; k < sizeof buffer; k++)
            if (buffer[k] != 0xA5) abort();
        // The readers of the records take what arrived, whatever its length;
        // a copy of exactly that length lets the sanitizer see a read past it.
        std::vector<uint8_t> got(buffer, buffer + capacity);
        const uint8_t* in = got.data();
        uint32_t connId = 0;
        uint16_t port = 0;
        int64_t since = 0;
        NetAddress client = {};
        bool open = false;
        std::vector<ConnRecord> records;
        ConnSummary summary = {};
        uint8_t kind = 0;
        if (type == IPC_MSG_UPDATE) IpcUnpackUpdate(in, capacity, &connId, &client, &open);
        if (type == IPC_MSG_UPDATE6) IpcUnpackUpdate6(in, capacity, &connId, &client, &open);
        if (type == IPC_MSG_DETAILS) IpcUnpackDetails(in, capacity, &records, &summary, &kind);
        if (type == IPC_MSG_DISCONNECT) IpcUnpackDisconnect(in, capacity, &connId, &port, &since);
    }
    // Whatever is left waiting goes before the next input.
    IpcShutdown();
    return 0;
}
