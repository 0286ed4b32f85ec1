// The data of the details messages (IPC_MSG_DETAILS, IPC_MSG_DISCONNECT),
// little-endian, every text with a length byte in front:
//
// IPC_MSG_DETAILS, first byte the kind:
//   0 summary: connections, logged in, transfers (u32 each), rate (u64).
//   1 records: a count byte, then per record connId (u16), client port (u16),
//     connected since (i64, ms since 1970), flags (u8: 1 TLS, 2 download,
//     4 upload), bytes, total (u64 each), rate (u32), then account, command,
//     argument and file as texts. As many records as fit in one datagram.
//   2 records as kind 1, but connId is a u32: a datagram is of kind 1 while
//     every number in it fits 16 bits, so an admin that knows only kind 1
//     drops the wide ones as an unknown kind and still reads the others.
// IPC_MSG_DISCONNECT: connId (u16), client port (u16), connected since (i64;
//   0 when the admin does not know it): 12 bytes. A number above 65,535 goes
//   as a u32 instead: 14 bytes.
//
// Unpacking checks every length against the datagram: a short or malformed
// message is refused whole (0), nothing past its end is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ipc/ipc.h"
#include "view/conn_record.h"

enum IpcDetailsKind : uint8_t {
    IPC_DETAILS_SUMMARY = 0,
    IPC_DETAILS_RECORDS = 1,
    IPC_DETAILS_RECORDS_WIDE = 2,
};
constexpr uint32_t IPC_DISCONNECT_SIZE = 12;
constexpr uint32_t IPC_DISCONNECT_WIDE_SIZE = 14;

// Packs records from *next on into out (IPC_DATA_MAX bytes) and advances
// *next past them; the data length (0 when none fit). A kind 1 datagram
// ends before the first number above 65,535; the next one is of kind 2.
uint32_t IpcPackDetails(const ConnRecord* records, size_t count, size_t* next,
                        uint8_t out[IPC_DATA_MAX]);
uint32_t IpcPackSummary(const ConnSummary& summary, uint8_t out[IPC_DATA_MAX]);
// 1 with the kind and its content (records appended); 0 for a malformed one.
int IpcUnpackDetails(const uint8_t* data, uint32_t length, std::vector<ConnRecord>* records,
                     ConnSummary* summary, uint8_t* kind);

// The data length (IPC_DISCONNECT_SIZE or IPC_DISCONNECT_WIDE_SIZE).
uint32_t IpcPackDisconnect(uint8_t out[IPC_DISCONNECT_WIDE_SIZE], uint32_t connId,
                           uint16_t clientPort, int64_t sinceMs);
// 0 for any length but those two.
int IpcUnpackDisconnect(const uint8_t* data, uint32_t length, uint32_t* connId,
                        uint16_t* clientPort, int64_t* sinceMs);
