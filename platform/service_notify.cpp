#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "platform/service_manager.h"

int NotifyAvailable() {
    const char* socket = getenv("NOTIFY_SOCKET");
    return socket && *socket ? 1 : 0;
}

uint32_t NotifySend(const char* message) {
    // NOTIFY_SOCKET stays in the environment: every later report needs it,
    // and the started server inherits the service's environment.
    int r = sd_notify(0, message);
    if (r > 0) return 0;
    return r == 0 ? SC_ERROR_INVALID_HANDLE : ScmErrorFromErrno(-r);
}
