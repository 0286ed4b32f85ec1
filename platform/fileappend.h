// Appending to a file that only its owner and group may read: the log files.
// Kept apart from the rest of platform/ (it needs nothing but the kernel), so
// that the log, which everything else logs through, can use it.
#pragma once

#include <cstdint>

// Opens name for appending, creating it with the permission bits mode (less
// the process's umask) when it is missing, and appends count bytes. Only a
// regular file is written: a FIFO or device of that name is refused without
// waiting for it. Returns the file's size after the write, or -1 when it
// could not be opened. A write that failed part way (a full disk) leaves the
// count of bytes that did not reach the file in *unwritten, when given.
int64_t FileAppend(const char* name, const void* bytes, uint32_t count, uint32_t mode,
                   uint32_t* unwritten = nullptr);

// Bytes an unprivileged writer may still put on the file system that holds
// path; -1 when the system cannot tell.
int64_t FileFreeBytes(const char* path);
