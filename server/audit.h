// The audit log: with Log\Audit 1, one LOG_INFO record per file transfer
// (RETR, STOR, APPE) that ended, completed or not: who, from where, what,
// how many bytes in how long, and the result. The per-event records of the
// data connection then go to LOG_TRACE0, so an audited server writes one
// record per transfer instead of one per block read.
#pragma once

#include <cstdint>

#include "server/conn.h"

// The level of a data connection's per-event records.
int AuditEventLevel();
// The transfer of conn starts now (a no-op for listings).
void AuditBegin(Conn* conn);
// bytes more went through.
void AuditCount(Conn* conn, int64_t bytes);
// The transfer ended with result ("226", "426", "aborted"); its record is
// written once, however many ways the end is reached, and it is counted in
// the engine's totals (server/counters.h) whether Log\Audit is on or not.
void AuditEnd(Conn* conn, const char* result);
