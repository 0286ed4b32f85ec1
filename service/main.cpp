// kelpwatch: "install" registers dockhand's service with the service
// manager, "remove" takes it away, and without arguments the program is the
// service itself, started by systemd.
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.h"
#include "platform/ascii.h"
#include "platform/privilege.h"
#include "platform/service_manager.h"
#include "platform/service_notify.h"
#include "service/service.h"
#include "service/unit_text.h"

namespace {

void Usage(FILE* out = stdout) {
    fprintf(out, "usage: %s install\n", SERVICE_NAME);
    fprintf(out, "           to install the %s service, or:\n", SERVICE_NAME);
    fprintf(out, "       %s remove\n", SERVICE_NAME);
    fprintf(out, "           to remove the %s service\n", SERVICE_NAME);
    fflush(out);
}

void Help() {
    Usage();
    printf("Without an argument %s is the service itself, which systemd starts\n"
           "(systemctl start %s). install writes the unit %s from the store's\n"
           "Path\\Service (the program the unit runs) and System\\RunAs (its user,\n"
           "default %s) and enables it; Path\\App and Path\\Work name the server it\n"
           "starts and its directory. See kelpwatch(8).\n",
           SERVICE_NAME, SERVICE_NAME, SERVICE_UNIT, DEFAULT_RUN_AS);
    fflush(stdout);
}

// An install that systemd cannot run as asked: the program or the user is
// missing. The program is refused; a missing user is only said (the
// package makes it, and the unit can be written before).
int InstallChecks() {
    std::string command;
    if (servicePath[0] && UnitCommand(servicePath, &command) && !ProgramExists(servicePath)) {
        LogAndPrint("failure: ServicePath %s does not exist", servicePath);
        fprintf(stderr,
                "%s: the unit would run a program that is not there. Set Path\\Service to "
                "this program, for example:\n  brindlex-reg set Path Service --string "
                "/usr/bin/kelpwatch\n",
                SERVICE_NAME);
        return 0;
    }
    Account account;
    if (UnitUserValid(runAsUser) && !AccountByName(runAsUser, &account))
        fprintf(stderr,
                "%s: the unit runs the service as user %s, which does not exist here: the "
                "package creates it, or create it with\n  useradd --system --user-group "
                "--no-create-home --shell /usr/sbin/nologin %s\nor set System\\RunAs to "
                "another user and install again.\n",
                SERVICE_NAME, runAsUser, runAsUser);
    return 1;
}

// After a unit was written: where systemd was not told, what to do.
void SayWhetherSystemdKnows(const ScManager& scm) {
    if (SystemdRuns()) return;
    fprintf(stderr,
            "%s: wrote %s, but systemd does not run here (or BRINDLEX_ROOT is set), so it was "
            "not told. Where systemd runs:\n  systemctl daemon-reload && systemctl enable --now "
            "%s\n",
            SERVICE_NAME, ScmUnitPath(scm, SERVICE_UNIT).c_str(), SERVICE_NAME);
}

int RunCommand(const char* word) {
    ScManager scm;
    uint32_t code = ScmOpen(&scm);
    if (code) {
        printf("failure: OpenSCManager (0x%.2x)\n", code);
        return 1;
    }
    int ok = 0;
    if (AsciiCompareNoCase(word, "remove") == 0)
        ok = RemoveService(scm, 1);
    else if (AsciiCompareNoCase(word, "install") == 0) {
        ok = InstallChecks() && (ReconfigureService(scm) || InstallService(scm));
        if (ok) SayWhetherSystemdKnows(scm);
    } else
        Usage();
    ScmClose(&scm);
    return ok ? 0 : 1;
}

// The service dispatcher: only a process that systemd started as a
// notifying service has a manager to connect to.
int RunDispatcher() {
    if (NotifyAvailable()) return service_main();
    lastError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    ReportServiceError("StartServiceCtrlDispatcher failed.");
    fprintf(stderr,
            "%s: not started by systemd (no NOTIFY_SOCKET): without an argument this program "
            "is the service, which systemd runs.\nInstall it with \"%s install\", then start it "
            "with \"systemctl start %s\".\n",
            SERVICE_NAME, SERVICE_NAME, SERVICE_NAME);
    Usage(stderr);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    ReadPathKey();
    LogLine("argc: %d", argc);
    for (int i = 1; i < argc; i++)
        LogLine("argv[%d]: %s", i, argv[i]);
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        Help();
        return 0;
    }
    if (argc == 2) return RunCommand(argv[1]);
    if (argc > 2) {
        Usage();
        return 1;
    }
    return RunDispatcher();
}
