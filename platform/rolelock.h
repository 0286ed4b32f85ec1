// Role locks: machine-wide locks that say which roles of dockhand run. Each
// is a lock file in the run directory (MachineRunDir()) held with flock by
// the process that owns the role. A lock dies with its process, so a crashed
// server never blocks the next start.
//
// The lock names are those the roles are known by ("Quennel:dockhand:Server");
// the file is the name without its first component, in lower case, with ':'
// turned into '-': "dockhand-server.lock". While held, the file holds the
// holder's process id (decimal, one line), so that other programs can find
// the server.
#pragma once

#include <cstdint>
#include <string>

constexpr char ROLE_LOCK_SERVER[] = "Quennel:dockhand:Server";
constexpr char ROLE_LOCK_ADMIN[] = "Quennel:dockhand:Admin";

// The lock file of a lock name.
std::string RoleLockPath(const char* name);

// Takes the lock. Returns a handle, or -1: with *alreadyExists = 1 when
// another live holder has it (also another handle of this same process),
// else *alreadyExists = 0 and the cause in RoleLockLastErrorText().
int RoleLockCreate(const char* name, int* alreadyExists);

// Lets the lock go (and clears the process id from the file).
void RoleLockRelease(int handle);

// Whether this process holds the named lock.
int RoleLockHeld(const char* name);

// The process id of the live holder of the named lock, or 0 when nobody
// holds it.
int RoleLockHolderPid(const char* name);

// The system's own text for this thread's last failed call ("Permission
// denied"), and the file or directory it failed on.
std::string RoleLockLastErrorText();
std::string RoleLockLastErrorPath();
