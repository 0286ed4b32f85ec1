// The settings records and the value helpers of the configuration store.
// Every use of the store is bracketed by OpenRegApp and CloseRegApp on the
// main thread; a missing value takes its default; a failed store call is
// logged and otherwise ignored.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/address.h"
#include "platform/store.h"

struct DisplaySettings {
    int32_t hideInitially;     // "Initially"
    int32_t hideWhenMinimized; // "Minimized"
    int32_t details = 0;       // "Details": View > Details, the connections in columns
};

struct SystemSettings {
    uint8_t serverEnable; // "Enable", default 1
    uint16_t maxConn;     // "MaxConn", default 0 = no limit
    uint16_t port;        // "Port", default 21
    // "PassivePorts" "low-high": the ports PASV listens on; 0-0 (empty or
    // refused) = any port the system chooses.
    uint16_t passivePortLow = 0;
    uint16_t passivePortHigh = 0;
    // "PassiveAddress" (an IPv4 or IPv6 address): the address PASV announces
    // to IPv4 clients, for a server behind NAT; no family (empty or refused),
    // or an IPv6 address, = the address the client reached the server at
    // (EPSV, which IPv6 clients use, names no address). Read by the socket
    // thread while the main thread may reload it: use PassiveAddressSetting()
    // and SetPassiveAddressSetting().
    NetAddress passiveAddress = {};
    // "ListenAddress" (an IPv4 or IPv6 address, "0.0.0.0" and "::" for every
    // address of one family): the one address the FTP listener binds; no
    // family (empty or refused) = every address of both families. The socket
    // thread reads it at each SOCK_MSG_LISTEN: use ListenAddressSetting() and
    // SetListenAddressSetting().
    NetAddress listenAddress = {};
    // "Extensions", default 0: 1 turns on the protocol extensions that
    // modern clients ask for (new connections take the value at accept).
    // Written by the main thread, read by the socket thread: use
    // ExtensionsSetting() and SetExtensionsSetting().
    uint32_t extensions = 0;
    // Time limits, none until the store is read.
    uint32_t loginTimeout = 0; // "LoginTimeout": seconds without a completed login; 0 = no limit
    uint32_t idleTimeout =
        0; // "IdleTimeout": seconds logged in without a command or transfer; 0 = no limit
    uint32_t loginFailDelay =
        0; // "LoginFailDelay": ms before a failed PASS is answered; default 1000
    // Failed logins per client address and per account (server/login_guard.h);
    // the socket thread reads them through SettingLoad.
    uint32_t loginFailLimit = 0;  // "LoginFailLimit": failures before a lock; default 5, 0 = off
    uint32_t loginFailWindow = 0; // "LoginFailWindow": seconds a failure counts; default 300
    uint32_t loginLockTime = 0;   // "LoginLockTime": seconds of the first lock; default 60
    // "DataTimeout": seconds without progress on a data connection before the
    // transfer ends with 426; default 0 = none.
    uint32_t dataTimeout = 0;
    // "PassiveTimeout": seconds a passive port waits for its connection before
    // it goes back to the pool; default 60, 0 = until the next command.
    uint32_t passiveTimeout = 0;
    // "MaxConnPerAddress", default 0 = no limit: connections from one client
    // address (server/address_limit.h); read through SettingLoad.
    uint16_t maxConnPerAddress = 0;
    // "SocketThreads", default 0 = one per core: the socket threads that
    // serve connections (server/sockthread.h), taken when the engine starts.
    uint32_t socketThreads = 0;
    // "MetricsPerAccount", default 0: 1 adds per-account series to the
    // metrics (server/counters.h); read through SettingLoad.
    uint32_t metricsPerAccount = 0;
    // "UploadHookTimeout": seconds an upload hook may run before it is
    // killed; default 60; read through SettingLoad.
    uint32_t uploadHookTimeout = 60;
    // "MaxDownloadRate", "MaxUploadRate": KiB/s for the whole server (file
    // downloads, uploads); default 0 = none. Read through SettingLoad.
    uint32_t maxDownloadRate = 0;
    uint32_t maxUploadRate = 0;
    // FTP over TLS. "Tls": 0 = off (AUTH is an unknown command), 1 = offered,
    // 2 = required of non-anonymous accounts (login and data connections).
    // "TlsDataResume", default 1: a protected data connection must resume
    // the TLS session of its control connection. "ImplicitTlsPort": a second
    // port speaking TLS from the first byte; 0 = none. Socket thread reads
    // them through SettingLoad.
    uint32_t tls = 0;
    uint32_t tlsDataResume = 1;
    uint32_t implicitTlsPort = 0;
    // "TlsCertificate" and "TlsKey": PEM files, loaded by the server role
    // after every System reload. Main thread only.
    char tlsCertificate[260] = "";
    char tlsKey[260] = "";
};

// "System\RunAs" (string): the account a server started as root gives
// itself to once its ports are bound, and the service unit's user; this one
// when the value is missing or empty (and then only where the user exists).
constexpr char DEFAULT_RUN_AS[] = "brindlex";

struct WindowRect {
    int32_t left, top, right, bottom;
};

extern DisplaySettings displaySettings;
extern SystemSettings systemSettings;
extern char workDir[260];
extern WindowRect windowRect;

inline uint32_t ExtensionsSetting() {
    return std::atomic_ref<uint32_t>(systemSettings.extensions).load(std::memory_order_relaxed);
}
inline void SetExtensionsSetting(uint32_t value) {
    std::atomic_ref<uint32_t>(systemSettings.extensions).store(value, std::memory_order_relaxed);
}

NetAddress PassiveAddressSetting();
void SetPassiveAddressSetting(const NetAddress& address);
// "UploadHook": the program run after every completed upload (its full
// path; "" = none). Read by the socket thread while the main thread may
// reload it.
std::string UploadHookSetting();
void SetUploadHookSetting(const std::string& path);
// "MetricsAddress": where the metrics endpoint listens ("" = off), main
// thread only.
extern std::string metricsAddress;
NetAddress ListenAddressSetting();
void SetListenAddressSetting(const NetAddress& address);

// A settings field that the socket thread reads while the main thread may
// reload it: both sides go through these.
template <typename T> inline T SettingLoad(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <typename T> inline void SettingStore(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// The time limits, read by the socket thread while the main thread may
// reload them: every access after start-up goes through these.
enum TimeLimit { LIMIT_LOGIN_TIMEOUT, LIMIT_IDLE_TIMEOUT, LIMIT_LOGIN_FAIL_DELAY };
inline uint32_t& TimeLimitField(TimeLimit which) {
    return which == LIMIT_LOGIN_TIMEOUT  ? systemSettings.loginTimeout
           : which == LIMIT_IDLE_TIMEOUT ? systemSettings.idleTimeout
                                         : systemSettings.loginFailDelay;
}
inline uint32_t TimeLimitSetting(TimeLimit which) {
    return std::atomic_ref<uint32_t>(TimeLimitField(which)).load(std::memory_order_relaxed);
}
inline void SetTimeLimitSetting(TimeLimit which, uint32_t value) {
    std::atomic_ref<uint32_t>(TimeLimitField(which)).store(value, std::memory_order_relaxed);
}

// The application key while the store is open (nullptr otherwise).
extern HKEY appKey;

int OpenRegApp(const char* applicationName);
void CloseRegApp();

uint32_t RegGetDword(HKEY key, const char* valueName, uint32_t defaultValue);
long RegGetString(HKEY key, const char* valueName, char* buffer, uint32_t bufferSize);
void RegSetDword(HKEY key, const char* valueName, uint32_t value);
void RegSetString(HKEY key, const char* valueName, const char* text);

void GetRegDisplay();
void SetRegDisplay();
void GetRegSystem();
void SetRegSystem();
void GetRegLog();
void SetRegLog();
// current: the main window's rectangle, the default of every coordinate.
void GetRegWindow(const WindowRect& current);
void SetRegWindow();
void GetRegPath();

// The path of a message file ("welcome.txt", "login.txt", "anonymous.txt",
// "logout.txt"): workDir, "/", the name. The server sends and the Messages
// page edits the file at this path. 0 when it does not fit in size bytes.
// MESSAGE_PATH_SIZE holds every path the server opens.
constexpr size_t MESSAGE_PATH_SIZE = 260;
int MessageFilePath(const char* fileName, char* out, size_t size);

// "low-high" with 1 <= low <= high <= 65535 (blanks around the numbers
// allowed): 1 and the two ports, else 0.
int ParsePortRange(const char* text, uint16_t* low, uint16_t* high);
// A dotted IPv4 address "a.b.c.d" (each 0 to 255, decimal) other than
// 0.0.0.0 and 255.255.255.255: 1 and the address, else 0.
int ParseDottedAddress(const char* text, NetAddress* address);
// A dotted IPv4 address as above, or an IPv6 address in its text form (an
// IPv4-mapped one is taken as its IPv4 address); 0.0.0.0 and :: only when
// anyAllowed: 1 and the address, else 0.
int ParseHostAddress(const char* text, bool anyAllowed, NetAddress* address);
