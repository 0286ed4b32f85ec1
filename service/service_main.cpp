// The service's life under systemd: status reports through the notification
// socket, controls through signals, the server started and stopped.
#include <cstdio>

#include "platform/eventlog.h"
#include "platform/service_control.h"
#include "platform/service_notify.h"
#include "service/service.h"

uint32_t lastError;
uint32_t serviceSpecificCode;

namespace {
bool stopEvent = false;
bool statusFailed = false; // a report that did not reach the manager
} // namespace

void ReportServiceError(const char* text) {
    uint32_t code = lastError;
    char first[64];
    snprintf(first, sizeof first, "%s error: %d", SERVICE_NAME, (int)code);
    const char* strings[] = {first, text};
    EventLogReportError(SERVICE_NAME, strings, 2);
    // A service that cannot report its status stops.
    stopEvent = true;
}

int ReportStatus(uint32_t state, uint32_t exitCode, uint32_t checkpoint, uint32_t waitHint) {
    char message[256];
    unsigned long long hintUsec = (unsigned long long)waitHint * 1000;
    switch (state) {
    case SERVICE_START_PENDING:
        snprintf(message, sizeof message,
                 "STATUS=Starting (checkpoint %u)\nEXTEND_TIMEOUT_USEC=%llu", checkpoint, hintUsec);
        break;
    case SERVICE_RUNNING:
        snprintf(message, sizeof message, "READY=1\nSTATUS=Running");
        break;
    case SERVICE_STOP_PENDING:
        snprintf(message, sizeof message,
                 "STOPPING=1\nSTATUS=Stopping (checkpoint %u)\nEXTEND_TIMEOUT_USEC=%llu",
                 checkpoint, hintUsec);
        break;
    default:
        snprintf(message, sizeof message, "STATUS=Stopped (exit code %u, service-specific code %u)",
                 exitCode, exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? serviceSpecificCode : 0);
        break;
    }
    uint32_t code = NotifySend(message);
    if (!code) return 1;
    statusFailed = true;
    lastError = code;
    ReportServiceError("SetServiceStatus");
    return 0;
}

void ServiceHandler(uint32_t control) {
    if (control == SERVICE_CONTROL_STOP)
        stopEvent = true; // service_main reports the stop
    else
        ReportStatus(SERVICE_RUNNING, 0, 0, 0);
}

int service_main() {
    uint32_t code = 0;
    int controls = ServiceControlOpen(&code);
    if (controls < 0) {
        lastError = code;
        ReportServiceError("RegisterServiceCtrlHandler failed.");
        return 1;
    }
    uint32_t exitCode = 0;
    serviceSpecificCode = 0;
    struct {
        const char* path;
        uint32_t code;
    } const required[] = {{appPath, SERVICE_CODE_NO_APP},
                          {servicePath, SERVICE_CODE_NO_SERVICE},
                          {workPath, SERVICE_CODE_NO_WORK}};
    for (const auto& r : required) {
        if (!exitCode && !r.path[0]) {
            exitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            serviceSpecificCode = r.code;
        }
    }

    stopEvent = false;
    if (!exitCode && ReportStatus(SERVICE_START_PENDING, 0, 1, 3000) &&
        ReportStatus(SERVICE_START_PENDING, 0, 2, 3000)) {
        if (!StartServer()) {
            // The cause is what is reported: a server that runs already keeps
            // its service-specific code.
            exitCode = lastError;
            LogLine("service_main: Error starting process: %u", exitCode);
        } else {
            ReportStatus(SERVICE_RUNNING, 0, 0, 0);
            while (!stopEvent) {
                uint32_t control = ServiceControlNext(controls, &code);
                if (control) {
                    ServiceHandler(control);
                    continue;
                }
                lastError = code; // no controls can arrive any more
                ReportServiceError("ServiceControlNext");
            }
            ReportStatus(SERVICE_STOP_PENDING, 0, 1, 3000);
            if (!stop_process()) {
                exitCode = lastError;
                LogLine("service_main: Error stopping process: %u", exitCode);
            }
        }
    }
    ServiceControlClose(controls);
    ReportStatus(SERVICE_STOPPED, exitCode, 0, 0);
    return exitCode == 0 && !statusFailed ? 0 : 1;
}
