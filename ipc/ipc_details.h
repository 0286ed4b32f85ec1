// The data of the details messages (IPC_MSG_DETAILS, IPC_MSG_DISCONNECT),
// little-endian, every text with a length byte in front:
//
// IPC_MSG_DETAILS, first byte the kind:
//   0 summary: connections, logged in, transfers (u32 each), rate (u64).
//   1 records: a count byte, then per record connId (u16), client port (u16),
//     connected since (i64, ms since 1970), flags (u8: 1 TLS, 2 download,
//     4 upload), bytes, total (u64 each), rate (u32), then account, command,
//     argument and file as texts. As many records as fit in one datagram.
// IPC_MSG_DISCONNECT: connId (u16), client port (u16), connected since (i64;
//   0 when the admin does not know it).
//
// Unpacking checks every length against the datagram: a short or malformed
// message is refused whole (0), nothing past its end is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ipc/ipc.h"
#include "view/conn_record.h"

enum IpcDetailsKind : uint8_t { IPC_DETAILS_SUMMARY = 0, IPC_DETAILS_RECORDS = 1 };
constexpr uint32_t IPC_DISCONNECT_SIZE = 12;

// Packs records from *next on into out (IPC_DATA_MAX bytes) and advances
// *next past them; the data length (0 when none fit).
uint32_t IpcPackDetails(const ConnRecord* records, size_t count, size_t* next,
                        uint8_t out[IPC_DATA_MAX]);
uint32_t IpcPackSummary(const ConnSummary& summary, uint8_t out[IPC_DATA_MAX]);
// 1 with the kind and its content (records appended); 0 for a malformed one.
int IpcUnpackDetails(const uint8_t* data, uint32_t length, std::vector<ConnRecord>* records,
                     ConnSummary* summary, uint8_t* kind);

void IpcPackDisconnect(uint8_t out[IPC_DISCONNECT_SIZE], uint16_t connId, uint16_t clientPort,
                       int64_t sinceMs);
int IpcUnpackDisconnect(const uint8_t* data, uint32_t length, uint16_t* connId,
                        uint16_t* clientPort, int64_t* sinceMs);
