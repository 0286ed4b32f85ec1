#include "server/audit.h"

#include "log/log.h"
#include "platform/eventloop.h"
#include "server/counters.h"

namespace {
// The engine's totals (server/counters.h) for a file transfer that ended.
void CountTransferEnd(const Conn* conn, const char* result) {
    uint8_t direction = conn->transferKind == XFER_RETR ? DIRECTION_DOWNLOAD : DIRECTION_UPLOAD;
    CountAdd(engineCounters.bytes[direction], conn->auditBytes);
    if (result[0] == '2')
        CountAdd(engineCounters.transfers[direction]);
    else if (result[0] == '4' || result[0] == '5') // 426, or 552 over a quota
        CountAdd(engineCounters.failed[direction]);
    else
        CountAdd(engineCounters.aborted[direction]);
    AccountCountBytes(conn->user.name, direction, conn->auditBytes);
}
} // namespace

int AuditEventLevel() {
    return logAudit.load() ? LOG_TRACE0 : LOG_INFO;
}

void AuditBegin(Conn* conn) {
    conn->auditStartMs = 0;
    if (conn->transferKind != XFER_RETR && conn->transferKind != XFER_STOR) return;
    conn->auditStartMs = EvNowMs();
    conn->auditBytes = 0;
}

void AuditCount(Conn* conn, int64_t bytes) {
    if (bytes > 0) conn->auditBytes += (uint64_t)bytes;
}

void AuditEnd(Conn* conn, const char* result) {
    if (conn->auditStartMs == 0) return;
    int64_t ms = EvNowMs() - conn->auditStartMs;
    conn->auditStartMs = 0;
    CountTransferEnd(conn, result);
    if (!logAudit.load()) return;
    const char* command = conn->transferKind == XFER_RETR              ? "RETR"
                          : conn->filePosition == FILE_POSITION_APPEND ? "APPE"
                                                                       : "STOR";
    char address[NET_ADDRESS_TEXT_SIZE];
    LogPrintf(LOG_INFO,
              "Audit(%u) user %s address %s command %s path %s bytes %llu seconds %lld.%03lld "
              "result %s",
              conn->connId, conn->user.name, NetAddressText(conn->peer, address), command,
              conn->transferPath, (unsigned long long)conn->auditBytes, (long long)(ms / 1000),
              (long long)(ms % 1000), result);
}
