// Message slots: local, named, one-way channels that keep message boundaries.
// One process, the reader, creates a slot and reads it; any number of writers
// open it by name and write whole messages to it.
//
// A slot is a Unix datagram socket in the run directory (MachineRunDir()),
// bound by the reader. A slot name is given in its long form
// ("\\.\mailslot\Quennel\Brindlex\Server"); its last component, in lower case,
// names the socket file: "slot-server".
//
// The kernel keeps only a handful of datagrams waiting on a socket, far fewer
// than a burst of connection notifications. So the reader's side empties its
// socket at once into a queue of its own (one small receiving thread per
// created slot), and SlotInfo and SlotRead work on that queue: the count of
// waiting messages is exact, a slow reader does not make writers fail, and a
// message is seen by SlotInfo as soon as its write has returned.
//
// Every call returns 1 (or a handle) on success and 0 (or -1) on failure, with
// a Win32-style error code in SlotLastError().
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t SLOT_ERROR_FILE_NOT_FOUND = 2; // no reader has created the slot
constexpr uint32_t SLOT_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t SLOT_ERROR_INVALID_HANDLE = 6;
constexpr uint32_t SLOT_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t SLOT_ERROR_GEN_FAILURE = 31;
constexpr uint32_t SLOT_ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t SLOT_ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t SLOT_ERROR_ALREADY_EXISTS = 183; // another reader has the slot
constexpr uint32_t SLOT_ERROR_FILENAME_EXCED_RANGE = 206;
constexpr uint32_t SLOT_ERROR_NO_DATA = 232; // the reader has gone
constexpr uint32_t SLOT_ERROR_MORE_DATA = 234;

// The largest message a slot delivers whole; a longer one is announced with
// its real size and cannot be read (SLOT_ERROR_MORE_DATA).
constexpr uint32_t SLOT_MESSAGE_KEEP = 65536;

// The socket file of a slot name.
std::string SlotPath(const char* name);

// Creates the slot and becomes its reader. mode: the permissions of the
// socket file (0 keeps the process default). A socket file left by a reader
// that has gone is removed only when holdsRoleLock says that the caller holds
// its role's lock (so no live reader of that role can exist); otherwise an
// existing file fails with SLOT_ERROR_ALREADY_EXISTS. Returns a handle or -1.
int SlotCreate(const char* name, uint32_t mode, int holdsRoleLock);

// Opens the slot for writing; fails with SLOT_ERROR_FILE_NOT_FOUND when no
// reader has created it. Returns a handle or -1.
int SlotOpen(const char* name);

// Reader: the size of the next message and the number of waiting messages,
// without waiting. *count 0 means no message (then *nextSize is 0).
int SlotInfo(int slot, uint32_t* nextSize, uint32_t* count);

// Reader: takes the next message whole into buffer; *read = its size.
// Fails with SLOT_ERROR_INSUFFICIENT_BUFFER (the message stays) when size is
// smaller than the message, SLOT_ERROR_GEN_FAILURE when nothing waits, and
// SLOT_ERROR_MORE_DATA (the message is consumed) for a message longer than
// SLOT_MESSAGE_KEEP.
int SlotRead(int slot, void* buffer, uint32_t size, uint32_t* read);

// Writer: writes one whole message, waiting at most 100 ms for room.
// *written = size, or 0 when the reader's queue stayed full (the message was
// not written; the slot stays usable). Fails when the reader has gone
// (SLOT_ERROR_NO_DATA).
int SlotWrite(int slot, const void* data, uint32_t size, uint32_t* written);

// Closes a reader's or a writer's handle. A reader's close removes its socket
// file (when it is still the one it bound), so later opens fail.
void SlotClose(int slot);

uint32_t SlotLastError();
