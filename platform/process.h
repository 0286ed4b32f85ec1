// Starting and stopping another program of the system.
#pragma once

#include <cstdint>

// Starts program with the single argument `argument`, in the directory
// workDir, in a new session, with standard input, output and error on
// /dev/null, every signal at its default and none blocked, and this
// process's environment. The child is not waited on (and leaves no zombie).
// Returns its process id, or 0 with the Win32 code in *error:
// ERROR_DIRECTORY (267) for a work directory that cannot be entered,
// ERROR_FILE_NOT_FOUND (2) for a missing program, ERROR_ACCESS_DENIED (5)
// for one that may not be run.
int ProcessStartDetached(const char* program, const char* argument, const char* workDir,
                         uint32_t* error);

// Asks a process to stop (SIGTERM). 0, or the Win32 code of the failure.
uint32_t ProcessAskStop(int pid);
