// Controls from the service manager. systemd stops a service with SIGTERM;
// SIGHUP stands for an interrogation. Both are blocked and read from a
// signal descriptor, so no work is ever done in a signal handler; a control
// sent while the service is not reading waits in the descriptor.
#pragma once

#include <cstdint>

constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// Blocks the control signals and opens the descriptor that receives them:
// the descriptor, or -1 with the Win32 code in *error. Call before any
// thread starts.
int ServiceControlOpen(uint32_t* error);
// Waits for the next control and returns its code; 0 when the descriptor
// fails (the code in *error).
uint32_t ServiceControlNext(int handle, uint32_t* error);
void ServiceControlClose(int handle);
