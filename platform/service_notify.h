// Status reports to systemd: the notification socket of a service that
// systemd started (NOTIFY_SOCKET), written through sd_notify.
#pragma once

#include <cstdint>

// 1 when the process was started by systemd as a notifying service, the only
// way the service dispatcher can connect to its manager.
int NotifyAvailable();

// Sends one status message (newline-separated "KEY=value" assignments).
// 0, or the Win32 code of the failure: ERROR_INVALID_HANDLE (6) when there
// is no notification socket.
uint32_t NotifySend(const char* message);
