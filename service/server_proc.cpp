// Starting dockhand in the service role and stopping it again. The running
// server is known by the server role lock, which holds its process id.
#include "platform/process.h"
#include "platform/rolelock.h"
#include "service/service.h"

namespace {
constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;
}

int StartServer() {
    // dockhand in the service role ends at once when a server runs; the
    // service would then report running with nothing behind it.
    if (RoleLockHolderPid(ROLE_LOCK_SERVER)) {
        lastError = ERROR_SERVICE_SPECIFIC_ERROR;
        serviceSpecificCode = SERVICE_CODE_SERVER_RUNS;
        return 0;
    }
    uint32_t code = 0;
    if (!ProcessStartDetached(appPath, "service", workPath, &code)) {
        lastError = code;
        return 0;
    }
    return 1;
}

int stop_process() {
    int pid = RoleLockHolderPid(ROLE_LOCK_SERVER);
    uint32_t code = pid ? ProcessAskStop(pid) : ERROR_INVALID_WINDOW_HANDLE;
    if (!code) return 1;
    if (code == ERROR_INVALID_WINDOW_HANDLE) LogLine("stop_process: Can't find app window.");
    lastError = code;
    return 0;
}
