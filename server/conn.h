// The connection record, the table of connections, and the control channel:
// accepting, greeting or refusing clients, reading control bytes and cutting
// them into lines, writing replies and message files, closing connections,
// and telling an admin about each connection. Socket thread only.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "config/users.h"
#include "log/log.h"
#include "platform/net.h"
#include "server/limit_state.h"
#include "platform/tls.h"
#include "server/queue.h"
#include "view/conn_record.h"

constexpr int CONN_PATH_SIZE = 260;    // relative and full paths: at most 259 characters
constexpr int CONN_BUFFER_SIZE = 8192; // receive buffer, command line, file chunks
constexpr int INVALID_FILE_HANDLE = -1;
constexpr uint64_t FILE_POSITION_APPEND = UINT64_MAX;

enum TransferKind : uint8_t {
    XFER_NONE = 0,
    XFER_LIST = 1,
    XFER_NLST = 2,
    XFER_RETR = 3,
    XFER_STOR = 4,
    XFER_MLSD = 5, // machine-readable listing (extensions)
};
// Facts of MLST and MLSD lines (OPTS MLST chooses among them).
constexpr uint8_t MLST_FACT_TYPE = 0x01;
constexpr uint8_t MLST_FACT_SIZE = 0x02;
constexpr uint8_t MLST_FACT_MODIFY = 0x04;
constexpr uint8_t MLST_FACT_PERM = 0x08;
constexpr uint8_t MLST_FACT_UNIQUE = 0x10;
constexpr uint8_t MLST_FACTS_ALL = 0x1F;

enum DataMode : uint8_t { DATA_DEFAULT = 0, DATA_PASSIVE = 1, DATA_PORT = 2 };
enum LoginState : uint8_t {
    LOGIN_NONE = 0,
    LOGIN_LOGGED_IN = 1,
    LOGIN_USER_GIVEN = 2,
    LOGIN_CLOSING = 3
};

// One socket of a connection.
struct Channel {
    uint8_t failed;              // data channel: the transfer failed (426 instead of 226)
    uint8_t shutdownWhenDrained; // shut the sending side down once `out` is empty
    uint8_t tlsHandshaking;      // tls is set and its handshake is under way
    Queue in;
    Queue out;
    SOCKET socket;   // INVALID_SOCKET = closed
    TlsSession* tls; // the socket speaks TLS (tls_conn.h); nullptr = clear
};

// One control connection. Plain data: the table copies records as it grows.
struct Conn {
    char currentDir[CONN_PATH_SIZE];   // relative to user.Root; "" = the root
    uint8_t transferKind;              // TransferKind
    uint8_t dataMode;                  // DataMode
    char transferPath[CONN_PATH_SIZE]; // full path of the transfer's file, or a listing's pattern
    char renameFrom[CONN_PATH_SIZE];   // full path stored by RNFR; "" = none
    uint8_t loginState;                // LoginState
    uint8_t imageType;                 // 1 after TYPE I, 0 after TYPE A
    Channel control;
    Channel data;
    UserAccount user;       // copy taken at USER, refreshed at PASS
    uint64_t restartOffset; // REST
    int64_t auditStartMs;   // EvNowMs() at the start of a file transfer; 0 = none (audit.h)
    uint64_t auditBytes;    // bytes of that transfer so far
    uint64_t filePosition;  // start of the current transfer; FILE_POSITION_APPEND
    uint64_t fileLeft;      // a download's bytes not sent yet, by the size at its open
    int fileHandle;         // INVALID_FILE_HANDLE = none
    uintptr_t viewItem;     // non-zero while the connections view has an item
    NetAddress peer;        // the client's address and control port
    NetAddress dataAddress; // where the next data connection goes (PORT), or the passive end (PASV)
    SOCKET passiveSocket;   // INVALID_SOCKET = none
    // The control connection's own end once read (ControlLocal); family 0 = not yet.
    NetAddress controlLocal;
    uint32_t connId;        // index in the table
    uint8_t discardingLine; // an overlong control line is being skipped
    uint8_t traceLine;      // input trace: how the current control line began
    uint8_t extensions;     // the "Extensions" switch as it was at accept
    uint8_t epsvAll;        // EPSV ALL: only EPSV may set up data connections
    uint8_t mlstFacts;      // MLST_FACT_* bits shown by MLST and MLSD
    uint8_t proxyWaiting;   // not greeted yet: its PROXY header has not come (proxy_conn.h)
    uint8_t addressCounted; // counted under peer for MaxConnPerAddress (address_limit.h)
    // FTP over TLS (tls_conn.h): the "Tls" switch as it was at accept, the
    // port it came in on spoke TLS from the first byte, AUTH's reply is still
    // queued (the handshake starts once it is out), PBSZ was given, PROT P.
    uint8_t tlsMode;
    uint8_t implicitTls;
    uint8_t tlsAuthPending;
    uint8_t tlsPbsz;
    uint8_t tlsProtP;
    // Time limits (conn_timer.cpp); times are EvNowMs() values.
    int64_t loginSinceMs;   // accepted, or last lost its login
    int64_t idleSinceMs;    // last command or end of a transfer; 0 while a transfer runs
    uint64_t timeoutTimer;  // armed check of the time limits; 0 = none
    int64_t timeoutDueMs;   // when timeoutTimer fires
    uint64_t holdTimer;     // a held reply waits for it; commands wait meanwhile; 0 = none
    const char* heldReply;  // the reply sent when holdTimer fires
    int64_t dataProgressMs; // a transfer's start or its last data event
    int64_t passiveSinceMs; // PASV opened a port nobody has connected to yet; 0 = none
    // TRACE bytes before the login (log.h: PreLoginTrace); charged while the
    // socket thread handles the connection's control events.
    LogTraceBudget traceBudget;
    LimitState limit; // speed limits and quotas (server/limits.h)
    // For the details view (conn_details.h): kept as they come, formatted
    // only when a view samples them.
    const char* lastWord;                  // the command table's word; nullptr = none yet
    char lastArgument[CONN_ARGUMENT_SIZE]; // its argument, cut; "" for PASS
    int64_t connectedAtMs;                 // wall clock (ms since 1970) at accept
    struct UserConnEntry* userCounted;     // user_conns.h: its account count; nullptr = none
    // The connections in use when this one was accepted (MaxConn decides by
    // the order of accepts); -1 = count them when it is greeted (after a
    // PROXY header).
    int32_t activeBefore;
};

// The connection table: slots in use or free, reused lowest index first. The
// slots live in blocks that never move, so a slot's address stays valid while
// another socket thread adds slots. A slot is touched only by the socket
// thread that owns its connection; the walkers of the table skip the others
// (ConnOfThisLoop).
int32_t ConnSlotCount();    // slots made so far
Conn* ConnAt(int32_t slot); // 0 <= slot < ConnSlotCount()
int32_t ConnActiveCount();  // slots in use, every socket thread's
// The socket thread (SockLoopIndex) that owns slot connId, or -1 when the
// slot is free. Any thread.
int ConnOwner(uint32_t connId);
// The connection is in use and belongs to the calling socket thread.
bool ConnOfThisLoop(const Conn* conn);

Conn* FindConnByControl(SOCKET s);
// Remembers that s (a control, data or passive socket) belongs to conn, so
// that the connection of a socket event is found without a walk of the
// table; ConnIndexedBy gives the connection s was last remembered for (the
// caller checks that it still holds s), or nullptr.
void ConnIndexSocket(SOCKET s, const Conn* conn);
Conn* ConnIndexedBy(SOCKET s);

// First socket thread: accepts a client into the lowest free slot and keeps
// it, or, when it serves several more connections than another socket
// thread, gives it to the one serving the fewest, which takes it up with
// AdoptProc.
void AcceptProc(SOCKET listening);
void AdoptProc(uint32_t connId);
// Shows an accepted connection (the admin's and the server's views) and
// greets it, or refuses it with 421 when MaxConn are connected already or
// its address has MaxConnPerAddress (counted from here, once the address is
// final: at accept, or after the PROXY header).
void ConnWelcome(Conn* conn);
void ControlProc(intptr_t lParam, SOCKET s);

int ConnRead(Conn* conn, Channel* channel);
char* ConnGets(char* buffer, uint32_t size, Conn* conn);
int ConnWrite(Conn* conn, Channel* channel);

int Reply(Conn* conn, const char* format, ...) __attribute__((format(printf, 2, 3)));
int ReplyV(Conn* conn, const char* format, va_list args);
void ReplyFile(Conn* conn, const char* fileName, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void ReplyFileV(Conn* conn, const char* fileName, const char* format, va_list args);

void ConnClose(Conn* conn);

// Time limits of a connection, on the socket thread's timers: LoginTimeout
// (seconds without a completed login) and IdleTimeout (seconds logged in
// without a command while no transfer runs) end it with "421 Timeout;
// closing control connection."; a held reply (a failed PASS) is sent after
// its delay while the connection's further commands wait.
void ConnTimerStart(Conn* conn); // at accept
void ConnTimerCheck(Conn* conn); // after commands: arm for the next limit
void ConnTimerStop(Conn* conn);  // at close
void ConnTimerProc(uintptr_t connId, intptr_t timerId);
void ConnNoteActivity(Conn* conn, bool wasLoggedIn); // a command line was handled
// Sends text after ms milliseconds (at once for 0); until then no command of
// the connection is taken.
void ReplyHeld(Conn* conn, const char* text, uint32_t ms);
inline bool ReplyIsHeld(const Conn* conn) {
    return conn->holdTimer != 0;
}
// The connection as the connections views show it.
ConnRecord ConnRecordOf(const Conn* conn);
// An admin asked for the list (first socket thread): tells it about every
// connection of every socket thread, in the order of their numbers.
void RefreshConnections();
void SockDestroyProc();
