// Files for the engine, confined beneath a user's root directory.
//
// Every call that takes (root, path) resolves path beneath the directory
// root: neither "..", nor a symbolic link, nor a directory swapped for a link
// between a check and the use leads outside it. path is a full path formed
// as root "/" relative path (or a path relative to root). Symbolic links that
// stay inside the root work as ordinary entries.
//
// Share modes: a file open for writing refuses every other open; a file open
// for reading refuses a writer; a file open either way is neither deleted nor
// renamed. They hold inside the process and, through open-file-description
// locks (platform/sharelock.h), between processes serving the same files.
//
// Results follow the Win32 calls they stand for; failures leave a Win32-style
// code in FsLastError().
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

constexpr uint32_t FS_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t FS_ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t FS_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t FS_ERROR_SHARING_VIOLATION = 32;
constexpr uint32_t FS_ERROR_FILE_EXISTS = 80;
constexpr uint32_t FS_ERROR_DIR_NOT_EMPTY = 145;
constexpr uint32_t FS_ERROR_FILENAME_EXCED_RANGE = 206;

uint32_t FsLastError();

// GetFileAttributesA: INVALID_FILE_ATTRIBUTES when missing or not reachable
// beneath root; else FILE_ATTRIBUTE_DIRECTORY and FILE_ATTRIBUTE_READONLY (no
// write bit at all), honoured even for root.
uint32_t FsGetAttributes(const char* root, const char* path);

// Open an existing file for reading: a descriptor, or -1. *size (when given):
// the file's size at the open.
int FsOpenRead(const char* root, const char* path, uint64_t* size = nullptr);
// Open for writing, creating it when missing; truncate empties it.
int FsOpenWrite(const char* root, const char* path, int truncate);
int64_t FsRead(int fd, void* buffer, uint64_t size);
int64_t FsWrite(int fd, const void* buffer, uint64_t size);
// The same for size bytes held in a pipe (its read end): they move into the
// file without a copy through the program. Bytes not written stay in the pipe.
int64_t FsWriteFromPipe(int fd, int pipeReadEnd, uint64_t size);
int FsSeek(int fd, uint64_t offset);
int64_t FsSize(int fd);
// Closes and releases the file's share entry.
void FsClose(int fd);

int FsCreateDirectory(const char* root, const char* path);
int FsRemoveDirectory(const char* root, const char* path);
int FsDeleteFile(const char* root, const char* path);
// Never replaces an existing target.
int FsMoveFile(const char* root, const char* from, const char* to);

struct FsEntry {
    uint32_t attributes; // FILE_ATTRIBUTE_*; names beginning with "." are HIDDEN
    time_t lastWrite;
    uint64_t size;
    std::string name;
    uint64_t device = 0; // with inode: the same pair names the same file
    uint64_t inode = 0;
};

// FindFirstFile: a pattern ending in "/*" lists the directory before it
// ("." and ".." included, as the search returns them); any other pattern
// names one entry. Returns 1 and fills out, or 0 when nothing can be listed.
// A directory's entries come sorted by name, byte by byte, unless the caller
// sorts them its own way (sorted false: in the directory's order).
int FsFindFiles(const char* root, const char* pattern, std::vector<FsEntry>* out,
                bool sorted = true);

// Reads a plain file that lies outside any user's root (message files);
// -1 when it cannot be opened.
int FsOpenPlain(const char* path);

// Resolve every path with the component-by-component walk instead of openat2
// (chosen by itself when the kernel lacks openat2; tests use it to exercise
// the walk). 0 restores the default.
void FsSetWalkOnly(int on);
