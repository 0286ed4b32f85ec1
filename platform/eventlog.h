// The event log: the system log (syslog; the journal under systemd). The
// socket is /dev/log, or $BRINDLEX_ROOT/dev-log, where a test can read it.
#pragma once

#include <cstdint>

// Writes one error record under the name `source` (facility daemon) whose
// message is the strings joined by ": ". 0, or the Win32 code of the failure
// (no system log listening, for one).
uint32_t EventLogReportError(const char* source, const char* const* strings, int count);
