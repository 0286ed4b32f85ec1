#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/privilege.h"
#include "config/config.h"
#include "config/users.h"
#include "view/connview.h"
#include "ipc/ipc.h"
#include "ipc/role.h"
#include "log/log.h"
#include "platform/fdlimit.h"
#include "platform/hook_runner.h"
#include "platform/machine.h"
#include "platform/mainloop.h"
#include "platform/rolelock.h"
#include "platform/sysinfo.h"
#include "server/conn.h"
#include "server/sockthread.h"
#include "version.h"

StartupState startup = {0, -1, -1};
char msInfo[MS_INFO_COUNT][MS_INFO_SIZE];
const char* const msInfoNames[MS_INFO_COUNT] = {
    "CSDVersion",      "CurrentBuildNumber", "CurrentVersion", "RegisteredOrganization",
    "RegisteredOwner", "SystemRoot",         "Version",        "VersionNumber"};

namespace {
// Start-up failures that a window would show in a message box.
void ShowStartupMessage(const char* text) {
    fprintf(stderr, "%s\n", text);
}

void CopyInfo(int index, const std::string& text) {
    snprintf(msInfo[index], MS_INFO_SIZE, "%s", text.c_str());
}

// Every connection holds a descriptor (two during a transfer): the soft
// limit goes up to the hard one, and both are logged.
void RaiseDescriptorLimit() {
    DescriptorLimit before{}, after{};
    if (!DescriptorLimitRaise(&before, &after)) return;
    auto text = [](uint64_t value, char* out) {
        if (value == UINT64_MAX)
            snprintf(out, 24, "unlimited");
        else
            snprintf(out, 24, "%llu", (unsigned long long)value);
        return out;
    };
    char was[24], soft[24], hard[24];
    LogPrintf(LOG_INFO, "ServerInit: Descriptor limit %s (was %s), hard limit %s",
              text(after.soft, soft), text(before.soft, was), text(after.hard, hard));
}

} // namespace

int IsServiceCommandLine(int argc, char** argv) {
    return argc == 2 && strcmp(argv[1], "service") == 0;
}

const char* RoleText() {
    if (startup.serviceFlag) return "service ";
    if (startup.serverLock >= 0) return "server ";
    return "admin ";
}

int GetMsInfo() {
    memset(msInfo, 0, sizeof msInfo);
    SysInfo info;
    if (!SysInfoRead(&info)) {
        LogPrintf(LOG_WARNING, "GetMsInfo: Can't determine Windows version!");
        return 0;
    }
    // The kernel's build stands for the service pack, its release for the
    // build number; the distribution gives the version texts. There is no
    // registered organisation or owner on this platform.
    CopyInfo(0, info.kernelVersion);
    CopyInfo(1, info.kernelRelease);
    CopyInfo(2, info.osVersionId);
    CopyInfo(5, "/");
    CopyInfo(6, info.osPrettyName.empty() ? info.kernelName : info.osPrettyName);
    CopyInfo(7, info.osVersion.empty() ? info.osVersionId : info.osVersion);
    return 1;
}

void ServerInit() {
    srand((unsigned)time(nullptr));

    if (OpenRegApp("Brindlex")) {
        GetRegLog();
        CloseRegApp();
    }
    LogStartup(RoleText());
    LogPrintf(LOG_INFO, "*** Starting %s ***", BRINDLEX_VERSION_CAPTION);

    if (OpenRegApp("Brindlex")) {
        GetRegDisplay();
        GetRegPath();
        GetRegSystem();
        GetRegUsers(&userList);
        GetRegWindow(windowRect);
        CloseRegApp();
    }

    GetMsInfo();
    for (int i = 0; i < MS_INFO_COUNT; i++)
        LogPrintf(LOG_INFO, "%s: %s", msInfoNames[i], msInfo[i]);

    IpcStartup();
    LogPrintf(LOG_TRACE0, "ServerInit: WinSock version %d.%d", 1, 1);

    if (startup.serverLock >= 0) {
        RaiseDescriptorLimit();
        InstallConnEvents(ConnViewExists());
        SockThreadInit();
        ListenWithSystemSettings();
    }
}

void DestroyProc() {
    if (sockWindow) {
        LogPrintf(LOG_INFO, "DestroyProc: Waiting for socket window to close...");
        SockThreadStop();
        LogPrintf(LOG_INFO, "DestroyProc: Socket window closed.");
    }
    StopMetrics();
    // Upload hooks still running are killed; waiting ones are dropped.
    HookRunnerStop();
    IpcShutdown();
    if (startup.serverLock >= 0) {
        RoleLockRelease(startup.serverLock);
        startup.serverLock = -1;
    }
    if (startup.adminLock >= 0) {
        RoleLockRelease(startup.adminLock);
        startup.adminLock = -1;
    }
}

namespace {
constexpr int EXIT_LOCK_FAILED = 1;
constexpr int EXIT_USAGE = 2;

void PrintUsage(FILE* out) {
    fprintf(out,
            "usage: dockhand [service | --help | --version]\n"
            "Brindlex FTP server %s.\n"
            "  dockhand          the first instance on the machine is the server: it serves FTP\n"
            "                    and shows the administration window when a display can be used;\n"
            "                    started while a server runs, it becomes that server's admin\n"
            "  dockhand service  the server without a window; ends at once when a server runs\n"
            "                    (kelpwatch starts it this way)\n"
            "Settings and accounts: the store %s/store.db, edited with brindlex-reg\n"
            "(System\\Port, default 21). Locks and message slots: %s/.\n"
            "BRINDLEX_ROOT, when set, moves both below that directory.\n"
            "Log files: in Log\\Path (default: the working directory) once Log\\Logging is 1.\n"
            "SIGTERM or SIGINT stops it in order; SIGHUP reloads every setting and the accounts.\n"
            "Exit status: 0 stopped in order (or nothing to do), 1 the role lock could not be\n"
            "created, 2 an unknown argument.\n",
            "V" BRINDLEX_VERSION, MachineStoreDir().c_str(), MachineRunDir().c_str());
}

// --help and --version answer on standard output and end the program before
// it takes a lock or opens the store; an argument the program does not know
// gets the usage on standard error and status 2, so a typing error never
// starts a server. -1 for the command lines that start one.
int AnswerOption(int argc, char** argv) {
    if (argc == 1 || IsServiceCommandLine(argc, argv)) return -1;
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s\n", BRINDLEX_VERSION_CAPTION);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    int unknown = strcmp(argv[1], "service") == 0 ? 2 : 1;
    fprintf(stderr, "dockhand: unknown argument '%s'\n", argv[unknown]);
    PrintUsage(stderr);
    return EXIT_USAGE;
}

// A role lock that could not be created although nobody holds it: said as
// what it is, so that a wrong permission never reads as "already running".
int LockFailed(const char* name) {
    std::string path = RoleLockLastErrorPath();
    bool dir = path == MachineRunDir();
    fprintf(stderr,
            "dockhand: cannot create the %s %s: %s.\n"
            "dockhand: the directory %s must be writable by the user that runs dockhand:\n"
            "  run it as the user that owns that directory, give this user write access to\n"
            "  it, or set BRINDLEX_ROOT to a directory this user may write.\n",
            dir ? "lock directory" : "lock file",
            (path.empty() ? RoleLockPath(name) : path).c_str(), RoleLockLastErrorText().c_str(),
            MachineRunDir().c_str());
    return EXIT_LOCK_FAILED;
}
} // namespace

int DockhandMain(int argc, char** argv) {
    int answered = AnswerOption(argc, argv);
    if (answered >= 0) return answered;
    MainLoopBlockSignals();
    if (!PrivilegeStartup(IsServiceCommandLine(argc, argv))) return 1;
    startup = {IsServiceCommandLine(argc, argv), -1, -1};

    int exists = 0;
    startup.serverLock = RoleLockCreate(ROLE_LOCK_SERVER, &exists);
    if (startup.serverLock >= 0 && exists) {
        RoleLockRelease(startup.serverLock);
        startup.serverLock = -1;
    }
    if (startup.serverLock < 0 && !exists) return LockFailed(ROLE_LOCK_SERVER);
    if (startup.serverLock < 0) {
        if (startup.serviceFlag) return 0;
        exists = 0;
        startup.adminLock = RoleLockCreate(ROLE_LOCK_ADMIN, &exists);
        if (startup.adminLock < 0 && !exists) return LockFailed(ROLE_LOCK_ADMIN);
        if (startup.adminLock < 0 || exists) {
            if (startup.adminLock >= 0) RoleLockRelease(startup.adminLock);
            startup.adminLock = -1;
            ShowStartupMessage("Application is already active.");
            return 0;
        }
    }
    processRole = startup.serviceFlag       ? ROLE_SERVICE
                  : startup.serverLock >= 0 ? ROLE_SERVER
                                            : ROLE_ADMIN;
    // The service role has no window and so no connections view.
    ConnViewEnable(processRole != ROLE_SERVICE);

    ServerInit();
    PrivilegeLogOutcome();
    // The admin's connections view asks the server for its list once, when
    // it is created; the answer fills it within about a second.
    if (processRole == ROLE_ADMIN && ConnViewExists()) IpcSend(IPC_MSG_REFRESH_REQUEST, nullptr, 0);
    int code = RunMainLoop();

    LogPrintf(LOG_INFO, "+++ Stopping %s +++", BRINDLEX_VERSION_CAPTION);
    LogShutdown();
    return code;
}
