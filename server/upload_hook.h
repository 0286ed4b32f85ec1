// System\UploadHook: after every completed upload (STOR and APPE with 226,
// and an RNTO that moves a file into another directory) the program named
// there runs with the account, the file's full path and its size in bytes as
// three arguments, on the hook runner (platform/hook_runner.h): never a
// shell, never waited for on the socket thread. When the runner's queue is
// full the event is logged and dropped; the upload stands.
#pragma once

#include "server/conn.h"

// Socket thread: the file at fullPath (below conn's Root) was uploaded.
void UploadHookAfter(const Conn* conn, const char* fullPath);
// True when RNTO from one full path to another counts as an upload: the
// file moves into another directory.
bool MovesToAnotherDirectory(const char* from, const char* to);
