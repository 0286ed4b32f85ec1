// The share rules between processes: a whole-file open-file-description lock
// (fcntl F_OFD_SETLK) beside each open the engine makes, shared for a reader
// and exclusive for a writer. Two servers serving one tree (each its own
// store) then refuse each other's opens as sessions of one server do. Local
// file systems honour the locks; NFS v4 carries them to the server as
// byte-range locks. A file system that has no locks (ENOLCK, EOPNOTSUPP)
// counts as unlocked, and that is logged once.
#pragma once

// Locks fd's open file description: 1, or 0 when another open file
// description (in this process or another) holds a conflicting lock.
int ShareLockTake(int fd, bool writer);
// Whether some open file description holds a lock on the regular file name
// in directory dirFd (a delete or rename would pull it away from under a
// transfer). false when the file cannot be opened to look.
bool ShareLockHeld(int dirFd, const char* name);
