// Path resolution: a client path is resolved against the current directory
// into a path relative to the account's Root (components separated by a
// backslash, no leading or trailing separator, "" = the root), and the full
// local path is Root, "/" and that relative path with "/" separators.
#pragma once

#include <cstddef>

#include "server/conn.h"

// rel holds a relative path on entry (a copy of currentDir) and receives the
// result; it must hold CONN_PATH_SIZE bytes. 0 on failure (logged).
// Components made of dots ("..", "...") go up and "." stays in place only
// before the first name, unless dotsAnywhere is set: then they do so
// everywhere in the path, still never above the root.
int ParsePath(char* rel, const char* clientPath, int dotsAnywhere = 0);
// out = root "/" rel, separators turned into "/". 0 when it would not fit in
// CONN_PATH_SIZE bytes (never truncated).
int MakeFullPath(char* out, const char* root, const char* rel);
// Copy currentDir, ParsePath with arg (dots anywhere when the connection has
// the extensions on), MakeFullPath: 1 on success.
int ResolvePath(const Conn* conn, const char* arg, char* rel, char* fullPath);
// The client form of a relative path (PWD): "/" then rel with every "\"
// written as "/" and every double quote written twice. out receives at most
// size-1 characters and a terminating zero; returns the length written.
// 2 * CONN_PATH_SIZE bytes always suffice.
size_t ClientPathForm(char* out, size_t size, const char* rel);
// The 257 reply of PWD: "257 \"<client form of rel>\" <text>".
int ReplyDir(Conn* conn, const char* rel, const char* text);
