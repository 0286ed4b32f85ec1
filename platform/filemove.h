// Moving a file without ever replacing another: the log's renames, a
// client's RNTO, a new service unit. Kept apart from the rest of platform/
// with the file append (it needs nothing but the kernel), so that the log
// can use it.
#pragma once

// The directory descriptor that stands for the working directory (names
// relative to it, or absolute paths).
constexpr int FILE_MOVE_CWD = -100;

// Moves from (a name inside the directory descriptor fromDir) to to (inside
// toDir). Fails with EEXIST when to exists, also when another process
// creates it at the same moment: nothing is ever replaced. On a file system
// that cannot rename that way a file is linked to its new name and its old
// name removed. 1 on success, else 0 with errno set.
int FileMoveAt(int fromDir, const char* from, int toDir, const char* to);

// FileMoveAt with two paths.
inline int FileMove(const char* from, const char* to) {
    return FileMoveAt(FILE_MOVE_CWD, from, FILE_MOVE_CWD, to);
}
