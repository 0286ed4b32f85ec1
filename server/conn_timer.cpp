// Time limits of control connections and held replies, on the timers of the
// socket thread's loop: no thread and no sleep per connection.
//
// Each connection has at most one armed check of its limits. It is armed for
// the earliest moment a limit could run out; when it fires, the limit is
// worked out afresh from the connection's state (a command may have come in
// meanwhile), and the check is armed again or the connection ends.
#include <utility>

#include "config/config.h"
#include "log/log.h"
#include "platform/eventloop.h"
#include "server/commands.h"
#include "server/dataconn.h"
#include "server/proxy_conn.h"
#include "server/sockthread.h"

namespace {

// The limits a connection can run out of.
enum Limit { LIMIT_NONE, LIMIT_SESSION, LIMIT_DATA, LIMIT_PASSIVE };

// When the login or idle limit runs out; 0 = none applies.
int64_t SessionDue(const Conn* conn) {
    if (conn->proxyWaiting) return ProxyHeaderDue(conn);
    if (conn->loginState == LOGIN_LOGGED_IN) {
        uint32_t idle = TimeLimitSetting(LIMIT_IDLE_TIMEOUT);
        if (idle == 0 || conn->transferKind != XFER_NONE || conn->idleSinceMs == 0) return 0;
        return conn->idleSinceMs + (int64_t)idle * 1000;
    }
    uint32_t login = TimeLimitSetting(LIMIT_LOGIN_TIMEOUT);
    if (login == 0) return 0;
    return conn->loginSinceMs + (int64_t)login * 1000;
}

// DataTimeout: a transfer without progress on its data connection.
int64_t DataDue(const Conn* conn) {
    uint32_t seconds = SettingLoad(systemSettings.dataTimeout);
    if (seconds == 0 || conn->transferKind == XFER_NONE) return 0;
    return conn->dataProgressMs + (int64_t)seconds * 1000;
}

// PassiveTimeout: a passive port nobody has connected to goes back.
int64_t PassiveDue(const Conn* conn) {
    uint32_t seconds = SettingLoad(systemSettings.passiveTimeout);
    if (seconds == 0 || conn->passiveSinceMs == 0 || conn->passiveSocket == INVALID_SOCKET ||
        conn->data.socket != INVALID_SOCKET)
        return 0;
    return conn->passiveSinceMs + (int64_t)seconds * 1000;
}

// The limit that runs out first and when; 0 = no limit applies.
int64_t LimitDue(const Conn* conn, Limit* which = nullptr) {
    int64_t due = 0;
    Limit first = LIMIT_NONE;
    for (auto [limit, at] :
         {std::pair{LIMIT_SESSION, SessionDue(conn)}, std::pair{LIMIT_DATA, DataDue(conn)},
          std::pair{LIMIT_PASSIVE, PassiveDue(conn)}}) {
        if (at != 0 && (due == 0 || at < due)) {
            due = at;
            first = limit;
        }
    }
    if (which) *which = first;
    return due;
}

void CancelCheck(Conn* conn) {
    if (conn->timeoutTimer) EvTimerCancel(conn->timeoutTimer);
    conn->timeoutTimer = 0;
}

// The limit ran out: the client is told, and the connection ends in order.
void TimeOut(Conn* conn) {
    if (conn->proxyWaiting) return ProxyTimeOut(conn);
    LogPrintf(LOG_INFO, "ConnTimerProc(%u) %s time-out; closing connection.", conn->connId,
              conn->loginState == LOGIN_LOGGED_IN ? "Idle" : "Login");
    conn->control.shutdownWhenDrained = 1;
    Reply(conn, "421 Timeout; closing control connection.");
    ConnClose(conn);
}

// A stalled transfer ends with 426; the session goes on.
void DataTimeOut(Conn* conn) {
    LogPrintf(LOG_INFO, "ConnTimerProc(%u) No progress on the data connection for %u s.",
              conn->connId, SettingLoad(systemSettings.dataTimeout));
    AbortTransfer(conn);
    ProcessCommands(conn);
}

// The passive port goes back to the pool; a transfer waiting for its
// connection gets 425. The session goes on.
void PassiveTimeOut(Conn* conn) {
    LogPrintf(LOG_INFO, "ConnTimerProc(%u) Nobody connected to the passive port; closing it.",
              conn->connId);
    bool waiting = conn->transferKind != XFER_NONE;
    CloseDataSide(conn);
    conn->passiveSinceMs = 0;
    conn->dataMode = DATA_DEFAULT;
    if (waiting) Reply(conn, "425 Can't open data connection.");
    ProcessCommands(conn);
}

void ReleaseHeld(Conn* conn) {
    conn->holdTimer = 0;
    const char* text = conn->heldReply;
    conn->heldReply = nullptr;
    if (text) Reply(conn, "%s", text);
    // The commands that arrived meanwhile are taken now.
    if (conn->control.socket != INVALID_SOCKET) ProcessCommands(conn);
}

} // namespace

void ConnTimerStart(Conn* conn) {
    conn->loginSinceMs = EvNowMs();
    conn->idleSinceMs = conn->loginSinceMs;
    conn->timeoutTimer = 0;
    conn->holdTimer = 0;
    conn->heldReply = nullptr;
    conn->dataProgressMs = 0;
    conn->passiveSinceMs = 0;
    ConnTimerCheck(conn);
}

void ConnNoteActivity(Conn* conn, bool wasLoggedIn) {
    int64_t now = EvNowMs();
    if (conn->transferKind != XFER_NONE) {
        conn->idleSinceMs = 0; // idle again from the transfer's end
        conn->dataProgressMs = now;
    } else
        conn->idleSinceMs = now;
    if (wasLoggedIn && conn->loginState != LOGIN_LOGGED_IN) conn->loginSinceMs = now;
}

void ConnTimerCheck(Conn* conn) {
    if (conn->control.socket == INVALID_SOCKET) return;
    if (conn->idleSinceMs == 0 && conn->transferKind == XFER_NONE) conn->idleSinceMs = EvNowMs();
    int64_t due = LimitDue(conn);
    if (due == 0) {
        CancelCheck(conn);
        return;
    }
    // An armed check that fires no later than the limit finds it then.
    if (conn->timeoutTimer && conn->timeoutDueMs <= due) return;
    CancelCheck(conn);
    int64_t left = due - EvNowMs();
    conn->timeoutTimer = EvTimerStart(left > 0 ? (uint32_t)left : 0, SOCK_MSG_TIMER, conn->connId);
    conn->timeoutDueMs = due;
}

void ConnTimerStop(Conn* conn) {
    CancelCheck(conn);
    if (conn->holdTimer) EvTimerCancel(conn->holdTimer);
    conn->holdTimer = 0;
    conn->heldReply = nullptr;
}

void ConnTimerProc(uintptr_t connId, intptr_t timerId) {
    if ((int64_t)connId >= ConnSlotCount() || ConnOwner((uint32_t)connId) != SockLoopIndex())
        return;
    Conn* conn = ConnAt((int32_t)connId);
    if (conn->control.socket == INVALID_SOCKET) return;
    uint64_t id = (uint64_t)timerId;
    if (id == conn->holdTimer) {
        ReleaseHeld(conn);
        return;
    }
    if (id != conn->timeoutTimer) return; // a check replaced meanwhile
    conn->timeoutTimer = 0;
    Limit which = LIMIT_NONE;
    int64_t due = LimitDue(conn, &which);
    if (due == 0 || due > EvNowMs()) {
        ConnTimerCheck(conn);
    } else if (which == LIMIT_DATA) {
        DataTimeOut(conn);
    } else if (which == LIMIT_PASSIVE) {
        PassiveTimeOut(conn);
    } else {
        TimeOut(conn);
    }
}

void ReplyHeld(Conn* conn, const char* text, uint32_t ms) {
    if (ms == 0 || conn->holdTimer) {
        Reply(conn, "%s", text);
        return;
    }
    conn->holdTimer = EvTimerStart(ms, SOCK_MSG_TIMER, conn->connId);
    if (!conn->holdTimer) {
        Reply(conn, "%s", text);
        return;
    }
    conn->heldReply = text;
}
