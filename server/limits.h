// Speed limits and quotas of the accounts, as the transfers and commands
// reach them. Any socket thread, for the connections it owns; what the
// connections of several threads share (the budgets, the quota uses) is
// kept under locks of its own, unless said otherwise.
//
// Speed: MaxDownloadRate and MaxUploadRate (KiB/s) of an account are one
// budget for all its sessions at once; the System values of the same names
// are one budget for the whole server. A budget fills with time up to a
// tenth of a second's worth; a file transfer takes bytes from every budget
// that applies to it. Once it finds nothing left it is no longer armed for
// reading or writing: the loop's tick (RATE_TICK_MS) resumes it, so a
// throttled transfer never holds the thread and delays nobody else. Without
// any limit the path is one test of two numbers.
//
// Quotas: QuotaMiB and QuotaFiles of an account count the plain files below
// its Root. The use is measured on a worker thread at the account's first
// login (or upload) after start-up or after the accounts were reloaded, and
// then kept by the server's own uploads, deletes and renames, for every
// measured account whose Root holds the file (roots may nest). An upload
// that starts while its account is being measured waits for the result.
// An upload that would cross a quota keeps the bytes that fit and ends with
// 552; a new file beyond QuotaFiles is refused with 552 before it exists.
#pragma once

#include <cstdint>
#include <vector>

#include "config/config.h"
#include "server/conn.h"

constexpr unsigned RATE_TICK_MS = 20;

enum RateDirection { RATE_SEND = 0, RATE_RECEIVE = 1 };

// Reads the account's rates anew (the user list changed since, or a login).
void RateRefresh(Conn* conn);
// How many of want bytes the budgets allow now (0: none; the caller waits
// with RateWait).
uint32_t RateBudget(Conn* conn, int direction, uint32_t want);
void RateTake(Conn* conn, int direction, uint32_t count);

// The rate limit of conn's account in direction and of the server, read
// anew after a reload; both 0 when nothing limits the transfer.
inline bool RateLimited(Conn* conn, int direction) {
    if (conn->limit.ratesGen != UserListGeneration()) RateRefresh(conn);
    uint32_t account = direction == RATE_SEND ? conn->limit.downRate : conn->limit.upRate;
    uint32_t server = direction == RATE_SEND ? SettingLoad(systemSettings.maxDownloadRate)
                                             : SettingLoad(systemSettings.maxUploadRate);
    return (account | server) != 0;
}
// The bytes of want a transfer may move now: want when nothing limits it.
inline uint32_t RateGrant(Conn* conn, int direction, uint32_t want) {
    return RateLimited(conn, direction) ? RateBudget(conn, direction, want) : want;
}
// count bytes were moved under a grant.
inline void RateCharge(Conn* conn, int direction, uint32_t count) {
    if (count > 0 && RateLimited(conn, direction)) RateTake(conn, direction, count);
}
// The transfer stops until the next tick (why: LIMIT_WAIT_SEND or _RECEIVE).
void RateWait(Conn* conn, uint8_t why);

// After a login: the rates are read anew and the account's quota use is
// measured when it is not known for the accounts as they are now.
void LimitsLogin(Conn* conn);

// RecvFile, before the file is opened: 1 to go on; 0 when the upload was
// ended with 552 (a new file over QuotaFiles); -1 when it waits for a
// measurement (resumed by the limits, which call RecvFile again).
int QuotaUploadBegin(Conn* conn);
// The upload's file could not be opened: a new file counted by
// QuotaUploadBegin is given back.
void QuotaUploadAbandoned(Conn* conn);
// The upload's file is open at position with length bytes.
void QuotaUploadOpened(Conn* conn, uint64_t position, uint64_t length);
// How many of count bytes, written at the upload's position, fit the quotas;
// the growth granted is counted at once (reserved), so that uploads on other
// threads find the room taken.
uint32_t QuotaFit(Conn* conn, uint32_t count);
// count bytes (0 when the write failed) were written at the upload's
// position: settles what the last QuotaFit reserved. Called after every
// QuotaFit.
void QuotaWritten(Conn* conn, uint64_t count);
// Ends the upload with the 552 reply (what was written stays).
void QuotaRefuse(Conn* conn);
// The size of a plain file for the quotas before it goes or moves; -1 when
// no quota counts anything now (nothing to keep current) or it is missing.
int64_t QuotaFileSize(const Conn* conn, const char* fullPath);
// bytes and files leave (negative) or join the accounts whose Root holds
// fullPath.
void QuotaAdjust(const char* fullPath, int64_t bytes, int64_t files);

// DataClosed: 1 when the close of an upload still waiting for its quota
// measurement is held until then.
int LimitsHoldClose(Conn* conn, uint16_t error);

// SOCK_MSG_LIMITS (wParam LIMITS_TICK: the tick; LIMITS_MEASURED: results).
constexpr uintptr_t LIMITS_TICK = 0;
constexpr uintptr_t LIMITS_MEASURED = 1;
void LimitsProc(uintptr_t what);
// A socket thread ends: its tick goes; with the first socket thread (which
// ends last) the budgets, the uses and the measuring thread go too.
void LimitsShutdown();

// The measuring thread (quota_measure.cpp); any thread.
void QuotaMeasureQueue(const char* name, const char* root, uint32_t generation);
struct QuotaMeasured {
    char name[65];
    uint32_t generation;
    int ok;
    uint64_t bytes, files;
};
void QuotaMeasureStop();
// Internal to the limits. The measuring thread records a result once (any
// thread), then tells every socket thread, whose QuotaMeasuredProc resumes
// its own uploads waiting for it.
void QuotaMeasureRecord(const QuotaMeasured& measured);
void QuotaMeasuredProc();
void QuotaForgetAll();
// The known use of account name for the accounts as they are now: 0 when
// it is not known (not measured yet, or no quota).
int QuotaUseOf(const char* name, uint64_t* bytes, uint64_t* files);
