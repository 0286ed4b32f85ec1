// Data connections (active from port 20, or passive), the events of data
// sockets, the end of every transfer, and the movers of listings and files.
// Socket thread only.
#pragma once

#include <vector>

#include "platform/fs.h"
#include "server/conn.h"

int ClientConnect(Conn* conn);
void DataProc(intptr_t lParam, SOCKET s);
void PassiveProc(SOCKET s);
Conn* FindConnByData(SOCKET s);
Conn* FindConnByPassive(SOCKET s);
int TransferReply(Conn* conn, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Starts the action of conn->transferKind on an open data connection.
void StartTransfer(Conn* conn);

// LIST, NLST and MLSD send listings.
inline bool IsListing(uint8_t kind) {
    return kind == XFER_LIST || kind == XFER_NLST || kind == XFER_MLSD;
}

// The entries a listing's pattern (transferPath) names, without hidden ones,
// "." and "..", sorted by name without regard to case.
void GatherListing(Conn* conn, std::vector<FsEntry>* entries);
void SendList(Conn* conn, int longFormat);
void SendMlsd(Conn* conn);
void SendFile(Conn* conn);
void SendData(Conn* conn);
void RecvFile(Conn* conn);
void RecvData(Conn* conn);
