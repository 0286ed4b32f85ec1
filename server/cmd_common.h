// Checks shared by the command handlers once the dispatcher has applied the
// command's row (login, argument, permission): the path argument and its
// target. Each check answers the client itself when it fails and returns 0,
// so a handler stops at the first failed check.
#pragma once

#include <cstdint>

#include "platform/fs.h"
#include "server/conn.h"

// How a command answers a refusal. Commands that start a transfer answer
// through TransferReply, which also cuts short a listing still being sent.
enum RefusalVia { REFUSE_PLAIN, REFUSE_TRANSFER };

// Sends "<code> <text>" the chosen way.
void Refuse(Conn* conn, RefusalVia via, int code, const char* text);

// Resolves arg into fullPath (CONN_PATH_SIZE); when it does not resolve,
// refuses with code and "Invalid file path." and returns 0.
int ResolveFilePath(Conn* conn, const char* arg, char* fullPath, RefusalVia via, int code);

// Resolves arg into fullPath (CONN_PATH_SIZE) and requires an existing plain
// file that is not read-only; anything else is answered with a 550 reply.
int ResolveWritablePlainFile(Conn* conn, const char* arg, char* fullPath);

// The target of an upload may be missing; when it exists it must be a plain
// file that is not read-only, else the upload is refused with code. Sets
// *exists. 1 when the upload may go on.
int CheckUploadTarget(Conn* conn, const char* fullPath, int code, bool* exists);

// With the extensions on, refusals that a retry cannot change (no
// permission, a missing or invalid path, a directory or read-only target)
// are permanent: 550 in place of the 450 or 500 of the plain replies.
inline int RefusalCode(const Conn* conn, int code) {
    return conn->extensions ? 550 : code;
}

// Resolves arg (nullptr: the current directory) and reads what the directory
// search tells of it; rel receives the relative path (CONN_PATH_SIZE). 0 when
// the path is invalid, missing or leads outside the root (nothing replied).
int ResolveEntry(Conn* conn, const char* arg, char* rel, FsEntry* entry);

// The search pattern of a listing: a directory's fullPath, "/" and mask ("*"
// for every entry, or a name mask with "*" and "?"), or a file's fullPath
// alone when mask is nullptr. 0 when it would not fit in CONN_PATH_SIZE
// bytes (never cut short).
int FormListPattern(Conn* conn, const char* fullPath, const char* mask, char* pattern);
