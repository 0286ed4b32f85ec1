// The one mapping from errno values to Win32 system error codes, which the
// platform calls report in the manner of the Windows calls they stand for.
// Socket calls use the Windows Sockets codes instead (WsaFromErrno, net.h).
#pragma once

#include <cstdint>

constexpr uint32_t WIN32_ERROR_GEN_FAILURE = 31;

// The code for err; otherwise for a value that has none of its own. Callers
// whose calls give a value a narrower meaning (a file call's EEXIST is
// ERROR_FILE_EXISTS) test for it first.
uint32_t Win32FromErrno(int err, uint32_t otherwise = WIN32_ERROR_GEN_FAILURE);
