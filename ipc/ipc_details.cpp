#include "ipc/ipc_details.h"

#include <cstring>

namespace {
constexpr uint8_t FLAG_TLS = 1, FLAG_DOWN = 2, FLAG_UP = 4;
// A record's fixed fields after its number.
constexpr uint32_t RECORD_FIXED = 2 + 8 + 1 + 8 + 8 + 4;
constexpr uint32_t NARROW_MAX = 0xFFFF; // the widest number of the u16 forms

struct Writer {
    uint8_t* out;
    uint32_t at;
    void Put(uint64_t value, int bytes) {
        for (int i = 0; i < bytes; i++)
            out[at++] = (uint8_t)(value >> (8 * i));
    }
    void Text(const char* text, size_t size) {
        size_t length = strnlen(text, size - 1);
        out[at++] = (uint8_t)length;
        memcpy(out + at, text, length);
        at += (uint32_t)length;
    }
};

struct Reader {
    const uint8_t* in;
    uint32_t length, at;
    bool ok = true;
    uint64_t Get(int bytes) {
        if (length - at < (uint32_t)bytes) {
            ok = false;
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < bytes; i++)
            value |= (uint64_t)in[at++] << (8 * i);
        return value;
    }
    void Text(char* out, size_t size) {
        size_t n = (size_t)Get(1);
        if (!ok || n >= size || length - at < n) {
            ok = false;
            return;
        }
        memcpy(out, in + at, n);
        out[n] = 0;
        at += (uint32_t)n;
    }
};

// numberBytes: 2 in a kind 1 datagram, 4 in a kind 2.
uint32_t RecordSize(const ConnRecord& r, int numberBytes) {
    return (uint32_t)numberBytes + RECORD_FIXED + 4 +
           (uint32_t)(strnlen(r.account, sizeof r.account - 1) +
                      strnlen(r.command, sizeof r.command - 1) +
                      strnlen(r.argument, sizeof r.argument - 1) +
                      strnlen(r.file, sizeof r.file - 1));
}
} // namespace

uint32_t IpcPackDetails(const ConnRecord* records, size_t count, size_t* next,
                        uint8_t out[IPC_DATA_MAX]) {
    if (*next >= count) return 0;
    bool wide = records[*next].connId > NARROW_MAX;
    int numberBytes = wide ? 4 : 2;
    Writer w = {out, 2};
    uint8_t packed = 0;
    for (; *next < count && packed < 255; ++*next, packed++) {
        const ConnRecord& r = records[*next];
        if (!wide && r.connId > NARROW_MAX) break; // the next datagram is of kind 2
        if (w.at + RecordSize(r, numberBytes) > IPC_DATA_MAX) break;
        w.Put(r.connId, numberBytes);
        w.Put(r.client.port, 2);
        w.Put((uint64_t)r.connectedSinceMs, 8);
        w.Put((r.tls ? FLAG_TLS : 0) | (r.direction == CONN_XFER_DOWN ? FLAG_DOWN : 0) |
                  (r.direction == CONN_XFER_UP ? FLAG_UP : 0),
              1);
        w.Put(r.bytes, 8);
        w.Put(r.total, 8);
        w.Put(r.rate, 4);
        w.Text(r.account, sizeof r.account);
        w.Text(r.command, sizeof r.command);
        w.Text(r.argument, sizeof r.argument);
        w.Text(r.file, sizeof r.file);
    }
    if (packed == 0) return 0;
    out[0] = wide ? IPC_DETAILS_RECORDS_WIDE : IPC_DETAILS_RECORDS;
    out[1] = packed;
    return w.at;
}

uint32_t IpcPackSummary(const ConnSummary& s, uint8_t out[IPC_DATA_MAX]) {
    Writer w = {out, 0};
    w.Put(IPC_DETAILS_SUMMARY, 1);
    w.Put(s.connections, 4);
    w.Put(s.loggedIn, 4);
    w.Put(s.transfers, 4);
    w.Put(s.rate, 8);
    return w.at;
}

int IpcUnpackDetails(const uint8_t* data, uint32_t length, std::vector<ConnRecord>* records,
                     ConnSummary* summary, uint8_t* kind) {
    Reader r = {data, length, 0};
    *kind = (uint8_t)r.Get(1);
    if (r.ok && *kind == IPC_DETAILS_SUMMARY) {
        ConnSummary s;
        s.connections = (uint32_t)r.Get(4);
        s.loggedIn = (uint32_t)r.Get(4);
        s.transfers = (uint32_t)r.Get(4);
        s.rate = r.Get(8);
        if (!r.ok || r.at != length) return 0;
        *summary = s;
        return 1;
    }
    if (!r.ok || (*kind != IPC_DETAILS_RECORDS && *kind != IPC_DETAILS_RECORDS_WIDE)) return 0;
    int numberBytes = *kind == IPC_DETAILS_RECORDS_WIDE ? 4 : 2;
    size_t count = (size_t)r.Get(1);
    std::vector<ConnRecord> got(count);
    for (ConnRecord& c : got) {
        c.hasDetails = 1;
        c.connId = (uint32_t)r.Get(numberBytes);
        c.client.port = (uint16_t)r.Get(2);
        c.connectedSinceMs = (int64_t)r.Get(8);
        uint8_t flags = (uint8_t)r.Get(1);
        c.tls = (flags & FLAG_TLS) != 0;
        c.direction = (flags & FLAG_DOWN) ? CONN_XFER_DOWN : (flags & FLAG_UP) ? CONN_XFER_UP : 0;
        c.bytes = r.Get(8);
        c.total = r.Get(8);
        c.rate = (uint32_t)r.Get(4);
        r.Text(c.account, sizeof c.account);
        r.Text(c.command, sizeof c.command);
        r.Text(c.argument, sizeof c.argument);
        r.Text(c.file, sizeof c.file);
    }
    if (!r.ok || r.at != length) return 0;
    records->insert(records->end(), got.begin(), got.end());
    return 1;
}

uint32_t IpcPackDisconnect(uint8_t out[IPC_DISCONNECT_WIDE_SIZE], uint32_t connId,
                           uint16_t clientPort, int64_t sinceMs) {
    Writer w = {out, 0};
    w.Put(connId, connId > NARROW_MAX ? 4 : 2);
    w.Put(clientPort, 2);
    w.Put((uint64_t)sinceMs, 8);
    return w.at;
}

int IpcUnpackDisconnect(const uint8_t* data, uint32_t length, uint32_t* connId,
                        uint16_t* clientPort, int64_t* sinceMs) {
    if (length != IPC_DISCONNECT_SIZE && length != IPC_DISCONNECT_WIDE_SIZE) return 0;
    Reader r = {data, length, 0};
    *connId = (uint32_t)r.Get(length == IPC_DISCONNECT_WIDE_SIZE ? 4 : 2);
    *clientPort = (uint16_t)r.Get(2);
    *sinceMs = (int64_t)r.Get(8);
    return 1;
}
