// The machine directories: where the machine-wide objects of the system live.
// The store below /var/lib/brindlex/, locks and message slots below
// /run/brindlex/, the service units and the system log where systemd keeps
// them; when BRINDLEX_ROOT is set, every such object lives below that
// directory instead (tests give each run its own).
#pragma once

#include <string>

std::string MachineStoreDir();
std::string MachineRunDir();
// The directory of service units: /etc/systemd/system, or
// $BRINDLEX_ROOT/systemd/system.
std::string MachineUnitDir();
// The system log's socket: /dev/log, or $BRINDLEX_ROOT/dev-log.
std::string MachineSyslogSocket();
// 1 when the machine directories are the real ones (BRINDLEX_ROOT not set).
int MachineIsReal();
// Creates dir and its missing parents (mode 0755); 1 on success.
int MachineMakeDir(const std::string& dir);
