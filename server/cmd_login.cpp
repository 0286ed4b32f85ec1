// USER and PASS: finding the account, the per-account connection limit, the
// salted digest check, and the step shared by every successful login.
// Socket thread; the account list is read under its lock, and no log record
// or reply is made while the lock is held.
#include <cstring>

#include <string>

#include "config/config.h"
#include "log/log.h"
#include "platform/address.h"
#include "platform/ascii.h"
#include "platform/eventloop.h"
#include "server/commands.h"
#include "server/control_limits.h"
#include "server/counters.h"
#include "server/limits.h"
#include "server/login_guard.h"
#include "server/login_home.h"
#include "server/tls_conn.h"
#include "server/user_conns.h"

namespace {

// Copies text up to the first byte below 32 or above 127 into out (capacity
// max + 1). Returns 0 when the text would run past max characters.
int CopyLoginText(char* out, const char* text, int max) {
    int length = 0;
    for (;; length++) {
        unsigned char c = (unsigned char)text[length];
        if (c < 32 || c > 127) break;
        if (length == max) return 0;
        out[length] = (char)c;
    }
    out[length] = 0;
    return 1;
}

// The account named name, byte for byte. A disabled account is treated as
// missing, so that neither USER nor PASS tells it apart from an unknown name.
// The caller holds the UserList lock.
const UserAccount* FindAccount(const char* name) {
    for (const UserAccount& account : userList.accounts)
        if (strcmp(account.name, name) == 0)
            return (account.accountFlags & ACCOUNT_ENABLE) ? &account : nullptr;
    return nullptr;
}

// currentDir from the account's Home: the part below Root, with the
// backslash separators of a relative path; the root itself when Home is not
// below Root.
void StartInHome(Conn* conn) {
    size_t rootLength = strlen(conn->user.Root);
    const char* home = conn->user.Home;
    conn->currentDir[0] = 0;
    if (strlen(home) <= rootLength + 1 || strncmp(home, conn->user.Root, rootLength) != 0 ||
        (home[rootLength] != '/' && home[rootLength] != '\\'))
        return;
    size_t i = 0;
    for (const char* p = home + rootLength + 1; *p && i < sizeof conn->currentDir - 1; p++)
        conn->currentDir[i++] = *p == '/' ? '\\' : *p;
    conn->currentDir[i] = 0;
}

// The client's address as the failed-login count knows it.
std::string ClientAddressKey(const Conn* conn) {
    char text[NET_ADDRESS_TEXT_SIZE];
    return NetAddressText(NetAddressUnmapped(conn->peer), text);
}

// The refusal waits LoginFailDelay on the socket thread's timer, so guessing
// passwords is slow while other connections go on at full speed. The failure
// counts at once, so a client that drops the connection instead of waiting
// for the refusal is counted all the same.
void LoginFailed(Conn* conn) {
    conn->loginState = LOGIN_NONE;
    CountAdd(engineCounters.loginsRefused);
    LoginGuardFailed(ClientAddressKey(conn), conn->user.name, EvNowMs(),
                     {SettingLoad(systemSettings.loginFailLimit),
                      SettingLoad(systemSettings.loginFailWindow),
                      SettingLoad(systemSettings.loginLockTime)});
    ReplyHeld(conn, "530 Login incorrect.", TimeLimitSetting(LIMIT_LOGIN_FAIL_DELAY));
}

} // namespace

void CmdUser(Conn* conn, const char* arg) {
    conn->loginState = LOGIN_NONE;
    ControlSessionNote(conn);
    memset(&conn->user, 0, sizeof conn->user);
    UserConnNote(conn);
    if (!arg) {
        Reply(conn, "500 Syntax error; name not specified.");
        return;
    }
    char name[USER_NAME_MAX + 1];
    if (!CopyLoginText(name, arg, USER_NAME_MAX)) {
        Reply(conn, "501 User name too long.");
        return;
    }
    AsciiLowerAll(name);

    LockUserList();
    const UserAccount* account = FindAccount(name);
    if (account) {
        // The connections that gave this name with USER, on every socket
        // thread; conn counts among them from here when it is let in.
        if (!UserConnAdmit(conn, name, account->MaxConn)) {
            UnlockUserList();
            LogPrintf(LOG_WARNING, "CmdUser: user %s max connections", name);
            CountAdd(engineCounters.loginsRefused);
            CountAdd(engineCounters.refused[REFUSED_ACCOUNT_MAX_CONN]);
            Reply(conn, "530 Too many connections; try again later.");
            return;
        }
        conn->user = *account;
        UnlockUserList();
        StartInHome(conn);
        if (TlsLoginRefused(conn)) return;
        if (!(conn->user.accountFlags & ACCOUNT_ANONYMOUS) && conn->user.PW[0] == 0) {
            LoginComplete(conn, "230 User logged in, proceed.", "CmdUser");
            return;
        }
    } else {
        UnlockUserList();
        memcpy(conn->user.name, name, sizeof name);
        UserConnNote(conn);
        if (TlsLoginRefused(conn)) return;
    }

    if (conn->user.accountFlags & ACCOUNT_ANONYMOUS)
        Reply(conn, "331 Anonymous access allowed, send identity (e-mail name) as password.");
    else
        Reply(conn, "331 Password required.");
    conn->loginState = LOGIN_USER_GIVEN;
}

void CmdPass(Conn* conn, const char* arg) {
    if (conn->loginState != LOGIN_USER_GIVEN) {
        Reply(conn, "503 PASS must follow USER.");
        return;
    }
    if (conn->user.accountFlags & ACCOUNT_ANONYMOUS) {
        LoginComplete(conn, "230 Anonymous user logged in, proceed.", nullptr);
        return;
    }
    // After too many failures from this address or for this account, no
    // password is even looked at: a right one cannot be told from a wrong one.
    int64_t lockedMs = LoginGuardLockedMs(ClientAddressKey(conn), conn->user.name, EvNowMs());
    if (lockedMs > 0) {
        LogPrintf(LOG_WARNING, "CmdPass: login for %s refused, failed logins: %lld s locked",
                  conn->user.name, (long long)(lockedMs + 999) / 1000);
        conn->control.shutdownWhenDrained = 1;
        conn->loginState = LOGIN_CLOSING;
        CountAdd(engineCounters.loginsRefused);
        CountAdd(engineCounters.refused[REFUSED_LOGIN_GUARD]);
        Reply(conn, "421 Too many failed logins; try again later.");
        return;
    }
    char password[USER_PASSWORD_MAX + 1];
    if (!arg || !CopyLoginText(password, arg, USER_PASSWORD_MAX)) {
        LoginFailed(conn);
        return;
    }

    LockUserList();
    const UserAccount* account = FindAccount(conn->user.name);
    if (!account) {
        UnlockUserList();
        LoginFailed(conn);
        return;
    }
    conn->user = *account;
    UnlockUserList();

    int match =
        conn->user.PW[0] != 0 && CheckPasswordDigest(conn->user.PW, conn->user.name, password);
    memset(password, 0, sizeof password);
    if (match) {
        LoginComplete(conn, "230 User logged in, proceed.", "CmdPass");
    } else {
        LogPrintf(LOG_INFO, "CmdPass: invalid login for %s", conn->user.name);
        LoginFailed(conn);
    }
}

void LoginComplete(Conn* conn, const char* replyText, const char* recordBy) {
    if (!LoginHomeAvailable(conn)) {
        conn->loginState = LOGIN_NONE;
        CountAdd(engineCounters.loginsRefused);
        Reply(conn, "530 Home directory not available.");
        return;
    }
    if (recordBy) LogPrintf(LOG_INFO, "%s: user %s logged in", recordBy, conn->user.name);
    const char* file =
        (conn->user.accountFlags & ACCOUNT_ANONYMOUS) ? "anonymous.txt" : "login.txt";
    ReplyFileText(conn, file, replyText);
    conn->loginState = LOGIN_LOGGED_IN;
    ControlSessionNote(conn);
    CountAdd(engineCounters.loginsAccepted);
    AccountCountLogin(conn->user.name);
    LimitsLogin(conn);
    // A login restores full tracing; a later REIN starts a fresh budget.
    conn->traceBudget = LogTraceBudget{0, conn->connId, 0, 1};
    conn->restartOffset = 0;
    conn->renameFrom[0] = 0;
}
