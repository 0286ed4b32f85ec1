// kelpwatch: "install" registers dockhand's service with the service
// manager, "remove" takes it away, and without arguments the program is the
// service itself, started by systemd.
#include <strings.h>

#include <cstdio>

#include "platform/service_manager.h"
#include "platform/service_notify.h"
#include "service/service.h"

namespace {

void Usage() {
    printf("usage: %s install\n", SERVICE_NAME);
    printf("           to install the %s service, or:\n", SERVICE_NAME);
    printf("       %s remove\n", SERVICE_NAME);
    printf("           to remove the %s service\n", SERVICE_NAME);
    fflush(stdout);
}

int RunCommand(const char* word) {
    ScManager scm;
    uint32_t code = ScmOpen(&scm);
    if (code) {
        printf("failure: OpenSCManager (0x%.2x)\n", code);
        return 1;
    }
    int ok = 0;
    if (strcasecmp(word, "remove") == 0)
        ok = RemoveService(scm, 1);
    else if (strcasecmp(word, "install") == 0)
        ok = ReconfigureService(scm) || InstallService(scm);
    else
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
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    ReadPathKey();
    LogLine("argc: %d", argc);
    for (int i = 1; i < argc; i++)
        LogLine("argv[%d]: %s", i, argv[i]);
    if (argc == 2) return RunCommand(argv[1]);
    if (argc > 2) {
        Usage();
        return 1;
    }
    return RunDispatcher();
}
