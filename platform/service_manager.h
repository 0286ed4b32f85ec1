// The service control manager on systemd: the database of services is the
// unit directory (MachineUnitDir()), one file "<name>.service" per service;
// when systemd runs the machine, it is told about every change through its
// D-Bus interface. Every call returns 0 or the Win32 code of the failure, as
// the service manager calls it stands for would report it.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t SC_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t SC_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t SC_ERROR_INVALID_HANDLE = 6;
constexpr uint32_t SC_ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t SC_ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr uint32_t SC_ERROR_DATABASE_DOES_NOT_EXIST = 1065;
constexpr uint32_t SC_ERROR_SERVICE_EXISTS = 1073;

struct ScManager {
    std::string unitDir;
    void* bus = nullptr; // the system bus while systemd runs the machine, else nullptr
};

// 1 when systemd runs the machine and the unit directory is its own (the
// machine directories are the real ones).
int SystemdRuns();

// Opens the manager: the unit directory must be writable (below
// BRINDLEX_ROOT it is created first); when systemd runs, the system bus is
// connected. ERROR_ACCESS_DENIED for a directory the caller may not write,
// ERROR_DATABASE_DOES_NOT_EXIST for a missing one.
uint32_t ScmOpen(ScManager* scm);
void ScmClose(ScManager* scm);
// ScmOpen's connection to systemd (the bus calls live with the other bus
// calls).
uint32_t ScmConnectBus(ScManager* scm);

// The unit file of a unit name ("kelpwatch.service").
std::string ScmUnitPath(const ScManager& scm, const char* unit);

// Reads a unit file; ERROR_SERVICE_DOES_NOT_EXIST when there is none.
uint32_t ScmReadUnit(const ScManager& scm, const char* unit, std::string* text);
// Writes a unit file whole (mode 0644): the file is replaced at once, so a
// reader never sees half of it. createNew refuses an existing unit with
// ERROR_SERVICE_EXISTS; otherwise the unit is replaced.
uint32_t ScmWriteUnit(const ScManager& scm, const char* unit, const std::string& text,
                      int createNew);
uint32_t ScmDeleteUnit(const ScManager& scm, const char* unit);

// systemd's side of a change; each does nothing (and succeeds) while
// systemd does not run. Reload reads the unit files again; Enable and
// Disable add and take away the unit's start at boot.
uint32_t ScmReload(const ScManager& scm);
uint32_t ScmEnable(const ScManager& scm, const char* unit);
uint32_t ScmDisable(const ScManager& scm, const char* unit);

// The Win32 code of an errno value for the calls of the service wrapper.
uint32_t ScmErrorFromErrno(int err);
