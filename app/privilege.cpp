// Giving up root at start-up. A server started as root becomes the account
// named by System\RunAs (default brindlex, where that user exists) before it
// takes its lock, opens its store, its log and its message slots, keeping
// only the capability to bind ports below 1024: everything it creates is
// that user's, and its listening and data ports are still bound as asked.
// An admin started as root acts as the owner of the running service's store.
#include "app/privilege.h"

#include <cstdio>
#include <string>

#include "config/config.h"
#include "config/store_owner.h"
#include "log/log.h"
#include "platform/privilege.h"
#include "platform/rolelock.h"

namespace {
std::string outcome; // for the log, once it runs
int outcomeLevel = LOG_INFO;

void Say(int level, const std::string& text) {
    outcome = text;
    outcomeLevel = level;
    if (level == LOG_WARNING) fprintf(stderr, "dockhand: %s\n", text.c_str());
}

// System\RunAs as the store has it; empty when not set. Read only where a
// store exists: root must not create one before it is the user's.
std::string ReadRunAs() {
    char name[128] = "";
    HKEY key = nullptr;
    if (StoreFileExists() &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quennel\\Brindlex\\System", 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
        if (RegGetString(key, "RunAs", name, sizeof name) != ERROR_SUCCESS) name[0] = 0;
        RegCloseKey(key);
    }
    RegCloseStore(); // opened again as the new user
    return name;
}

// The server's (or service's) switch; 0 when it failed half-way.
int BecomeRunAs() {
    std::string named = ReadRunAs();
    Account account;
    if (!AccountByName(named.empty() ? DEFAULT_RUN_AS : named.c_str(), &account)) {
        Say(LOG_WARNING, named.empty() ? std::string("started as root, and System\\RunAs is not "
                                                     "set and there is no user ") +
                                             DEFAULT_RUN_AS + ": running as root"
                                       : "started as root, and the System\\RunAs user " + named +
                                             " does not exist: running as root");
        return 1;
    }
    if (account.uid == 0) return 1; // RunAs root: as asked
    std::string why;
    if (!MachineGiveTo(account, &why)) {
        Say(LOG_WARNING, "cannot give the machine directories to " + account.name + " (" + why +
                             "): running as root");
        return 1;
    }
    if (!ProcessBecome(account, 1, &why)) {
        fprintf(stderr, "dockhand: cannot become user %s (%s): not started\n", account.name.c_str(),
                why.c_str());
        return 0;
    }
    Say(LOG_INFO, "running as user " + account.name + " (uid " + std::to_string(account.uid) +
                      ") with no capability but binding ports below 1024");
    return 1;
}
} // namespace

int PrivilegeStartup(int serviceFlag) {
    // A server runs: this process becomes its admin (as a service, it ends
    // at once without opening anything).
    if (RoleLockHolderPid(ROLE_LOCK_SERVER)) {
        if (serviceFlag) return 1;
        std::string note, why;
        if (!ActAsStoreOwner(&note, &why)) {
            fprintf(stderr, "dockhand: cannot act as the store's owner (%s): not started\n",
                    why.c_str());
            return 0;
        }
        if (!note.empty()) Say(LOG_INFO, note);
        if (!StoreAccessible(&why)) {
            fprintf(stderr,
                    "dockhand: a server runs, but its settings cannot be opened (%s): start the "
                    "admin as the user the server runs as, or as root.\n",
                    why.c_str());
            return 0;
        }
        return 1;
    }
    return ProcessIsRoot() ? BecomeRunAs() : 1;
}

void PrivilegeLogOutcome() {
    if (!outcome.empty()) LogPrintf(outcomeLevel, "PrivilegeStartup: %s", outcome.c_str());
}
