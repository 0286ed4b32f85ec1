#include "platform/privilege.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/machine.h"

namespace {

std::string Reason(const char* step) {
    return std::string(step) + ": " + strerror(errno);
}

// The process's capability sets: permitted and effective hold `keep`
// (a mask of the first 32 capabilities), inheritable none.
int SetCapabilities(uint32_t keep) {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    data[0].permitted = data[0].effective = keep;
    return (int)syscall(SYS_capset, &header, data);
}

// Drops every capability from the bounding set but `keep` (a capability
// number, or -1 for none): no later program can gain another.
int LimitBoundingSet(int keep) {
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; cap++) {
        if (cap != keep && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return -1;
    }
    return 0;
}

// Gives the root-owned regular files and sockets directly in dir (left by
// runs as root), then dir itself when root owns it, to the account. A
// directory of any other user is refused.
int GiveDirectory(const std::string& dir, const Account& account, std::string* why) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        *why = Reason(dir.c_str());
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = dir + ": not a directory";
        return 0;
    }
    if (st.st_uid != 0 && st.st_uid != account.uid) {
        *why = dir + " belongs to user id " + std::to_string(st.st_uid);
        return 0;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        *why = Reason(dir.c_str());
        if (fd >= 0) close(fd);
        return 0;
    }
    int ok = 1;
    while (dirent* e = readdir(d)) {
        struct stat es;
        // One link only: a second name of a file elsewhere is never given.
        if (fstatat(fd, e->d_name, &es, AT_SYMLINK_NOFOLLOW) != 0 || es.st_uid != 0 ||
            es.st_nlink != 1)
            continue;
        if (!S_ISREG(es.st_mode) && !S_ISSOCK(es.st_mode)) continue;
        if (fchownat(fd, e->d_name, account.uid, account.gid, AT_SYMLINK_NOFOLLOW) != 0) {
            *why = Reason((dir + "/" + e->d_name).c_str());
            ok = 0;
        }
    }
    if (ok && st.st_uid == 0 && fchown(fd, account.uid, account.gid) != 0) {
        *why = Reason(dir.c_str());
        ok = 0;
    }
    closedir(d);
    return ok;
}

} // namespace

int ProcessIsRoot() {
    return geteuid() == 0 ? 1 : 0;
}

int AccountByName(const char* name, Account* account) {
    if (!name || !*name) return 0;
    std::vector<char> buffer(16384);
    struct passwd entry, *found = nullptr;
    if (getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return 0;
    account->uid = found->pw_uid;
    account->gid = found->pw_gid;
    account->name = found->pw_name;
    return 1;
}

int StoreOwner(Account* owner) {
    struct stat st;
    std::string dir = MachineStoreDir();
    if (stat((dir + "/store.db").c_str(), &st) != 0 && stat(dir.c_str(), &st) != 0) return 0;
    owner->uid = st.st_uid;
    owner->gid = st.st_gid;
    owner->name.clear();
    std::vector<char> buffer(16384);
    struct passwd entry, *found = nullptr;
    if (getpwuid_r(st.st_uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        owner->name = found->pw_name;
        owner->gid = found->pw_gid;
    }
    return 1;
}

int StoreFileExists() {
    return access((MachineStoreDir() + "/store.db").c_str(), F_OK) == 0 ? 1 : 0;
}

int StoreAccessible(std::string* why) {
    std::string dir = MachineStoreDir();
    std::string path = dir + "/store.db";
    if (access(path.c_str(), R_OK | W_OK) == 0) return 1;
    if (errno == ENOENT && access(dir.c_str(), W_OK | X_OK) == 0) return 1;
    if (errno == ENOENT && access(dir.c_str(), F_OK) != 0 && access(path.c_str(), F_OK) != 0) {
        // No directory yet: whoever may make it may make the store.
        size_t slash = dir.rfind('/');
        std::string parent = slash == std::string::npos || slash == 0 ? "/" : dir.substr(0, slash);
        if (access(parent.c_str(), W_OK | X_OK) == 0) return 1;
    }
    *why = path + ": " + strerror(errno);
    return 0;
}

int MachineGiveTo(const Account& account, std::string* why) {
    std::string run = MachineRunDir(), store = MachineStoreDir();
    if (!MachineMakeDir(run)) {
        *why = Reason(run.c_str());
        return 0;
    }
    if (!GiveDirectory(run, account, why)) return 0;
    if (store != run && !MachineMakeDir(store)) {
        *why = Reason(store.c_str());
        return 0;
    }
    return store == run ? 1 : GiveDirectory(store, account, why);
}

int ProcessBecome(const Account& account, int keepBind, std::string* why) {
    int keep = keepBind ? CAP_NET_BIND_SERVICE : -1;
    if (LimitBoundingSet(keep) != 0) {
        *why = Reason("limiting the bounding set");
        return 0;
    }
    // Kept across the change of user, so that the one wanted capability
    // can be set again below.
    if (keepBind && prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) {
        *why = Reason("keeping the capabilities");
        return 0;
    }
    int rc = account.name.empty() ? setgroups(0, nullptr)
                                  : initgroups(account.name.c_str(), (gid_t)account.gid);
    if (rc != 0) {
        *why = Reason("setgroups");
        return 0;
    }
    if (setresgid(account.gid, account.gid, account.gid) != 0) {
        *why = Reason("setgid");
        return 0;
    }
    if (setresuid(account.uid, account.uid, account.uid) != 0) {
        *why = Reason("setuid");
        return 0;
    }
    prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (SetCapabilities(keepBind ? 1u << CAP_NET_BIND_SERVICE : 0) != 0) {
        *why = Reason("setting the capabilities");
        return 0;
    }
    // Checked: every id is the account's, and root cannot come back.
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0 || ru != account.uid ||
        eu != account.uid || su != account.uid || rg != account.gid || eg != account.gid ||
        sg != account.gid) {
        *why = "the user and group ids did not change";
        return 0;
    }
    if (account.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
        *why = "root could be taken back";
        return 0;
    }
    return 1;
}

int ProgramExists(const char* path) {
    if (!path || !*path) return 0;
    auto runnable = [](const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111);
    };
    if (path[0] == '/') return runnable(path) ? 1 : 0;
    for (const char* dir : {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin"}) {
        if (runnable(std::string(dir) + "/" + path)) return 1;
    }
    return 0;
}
