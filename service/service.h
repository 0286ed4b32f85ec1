// kelpwatch: installs dockhand as the system service "kelpwatch", runs it in
// the service role, and stops it. It meets dockhand only through the store's
// "Path" key, the command line "service", the server's role lock and SIGTERM.
#pragma once

#include <cstdint>

constexpr char SERVICE_NAME[] = "kelpwatch";
constexpr char SERVICE_UNIT[] = "kelpwatch.service";
constexpr char SERVICE_DISPLAY_NAME[] = "Brindlex";

// Win32 codes the wrapper reports itself.
constexpr uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr uint32_t ERROR_SERVICE_SPECIFIC_ERROR = 1066;

// Service-specific codes that go with ERROR_SERVICE_SPECIFIC_ERROR.
constexpr uint32_t SERVICE_CODE_NO_APP = 0;
constexpr uint32_t SERVICE_CODE_SERVER_RUNS = 1;
constexpr uint32_t SERVICE_CODE_NO_SERVICE = 2;
constexpr uint32_t SERVICE_CODE_NO_WORK = 3;

// The paths of the store's "Path" key, at most 127 characters each, empty
// when not set.
constexpr int PATH_SIZE = 128;
extern char appPath[PATH_SIZE];     // "App": the dockhand program started
extern char logPath[PATH_SIZE];     // "Log": directory of the diagnostic log
extern char servicePath[PATH_SIZE]; // "Service": the program the unit runs
extern char workPath[PATH_SIZE];    // "Work": the started program's directory
// "Trace" (DWORD): 1 switches the diagnostic log on.
extern uint32_t logLineOn;
// The user the unit runs the service as: "System\RunAs", "brindlex" when
// not set.
extern char runAsUser[PATH_SIZE];

// The code of the last failure, as GetLastError would give it.
extern uint32_t lastError;
// The status's service-specific code, reported with ERROR_SERVICE_SPECIFIC_ERROR.
extern uint32_t serviceSpecificCode;

void ReadPathKey();

// The diagnostic log: one line a call in "<Log>/YYMMDD.sog" while it is on.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Passes the text to LogLine and writes it with a line end to standard output.
void LogAndPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "install" and "remove"; each returns 1 on success. The manager is open.
struct ScManager;
int InstallService(ScManager& scm);
int ReconfigureService(ScManager& scm);
int RemoveService(ScManager& scm, int report);

// The service's life under systemd; returns the process's exit code.
int service_main();
// A control from the manager (stop, interrogate).
void ServiceHandler(uint32_t control);
int ReportStatus(uint32_t state, uint32_t exitCode, uint32_t checkpoint, uint32_t waitHint);
void ReportServiceError(const char* text);

// Starting and stopping dockhand; 1 on success, else 0 with lastError set.
int StartServer();
int stop_process();

// Service states.
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
