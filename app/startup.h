// The program's start-up and orderly shutdown in its three roles, and the
// one-second timer that acts on the messages of the other role.
#pragma once

#include <cstdint>

// Process-wide start-up state.
struct StartupState {
    int serviceFlag; // 1 when the command line is exactly "service"
    int serverLock;  // role lock handle, -1 when not held
    int adminLock;   // role lock handle, -1 when not held
};
extern StartupState startup;

constexpr int MS_INFO_COUNT = 8;
constexpr int MS_INFO_SIZE = 64;
// CSDVersion, CurrentBuildNumber, CurrentVersion, RegisteredOrganization,
// RegisteredOwner, SystemRoot, Version, VersionNumber.
extern char msInfo[MS_INFO_COUNT][MS_INFO_SIZE];
extern const char* const msInfoNames[MS_INFO_COUNT];

// The entry point: chooses the role, initialises, runs the main loop, shuts
// down. Returns the process's exit code.
int DockhandMain(int argc, char** argv);
// 1 when argv is exactly the program and the word "service".
int IsServiceCommandLine(int argc, char** argv);

void ServerInit();
void DestroyProc();
int GetMsInfo();
void TimerProc();

// Installs the engine's connection events: notifications to an admin and,
// withView, the connections view's items.
void InstallConnEvents(bool withView);
// The engine of this process (when it runs) takes the System values in
// systemSettings: it listens on the port, keeps the listener or closes it.
// Returns once the socket thread has done so. The System page's hook. The
// metrics endpoint follows MetricsAddress at the same time.
void ListenWithSystemSettings();
// The metrics endpoint follows MetricsAddress (app/metrics.cpp): called
// with ListenWithSystemSettings; StopMetrics at shutdown.
void ApplyMetricsSettings();
void StopMetrics();
// Loads the TLS certificate and key of the System group (app/tls_setup.cpp).
void ApplyTlsSettings();

// Runs the main thread's loop until the main window closes and returns the
// exit code: the window's loop for the server and admin roles when a display
// can be used, the windowless loop otherwise (with one line on standard
// error saying so). TimerProc runs every second; SIGTERM/SIGINT close the
// main window (DestroyProc).
int RunMainLoop();

// The role text of the log ("server ", "admin ", "service ").
const char* RoleText();
