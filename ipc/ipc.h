// Messages between the server (or service) and an admin instance, through
// two one-way message slots: the server reads the server slot and writes the
// client slot; the admin the other way round. Datagrams of 4 to 260 bytes:
// type, reserved, 16-bit little-endian length, data.
#pragma once

#include <cstdint>

#include "platform/address.h"

enum IpcMessageType : uint8_t {
    IPC_MSG_DISPLAY_CHANGED = 0,
    IPC_MSG_LOGGING_CHANGED = 1,
    IPC_MSG_REFRESH = 2,
    IPC_MSG_REFRESH_REQUEST = 4,
    IPC_MSG_SYSTEM_CHANGED = 5,
    IPC_MSG_UPDATE = 6,
    IPC_MSG_USERS_CHANGED = 7,
    // Server to admin: why the server does not listen (the text of its status
    // bar, printable ASCII), or no data while it listens. Sent when that
    // changes and after every IPC_MSG_REFRESH; an admin that does not know
    // the type drops it.
    IPC_MSG_LISTEN_STATUS = 8,
    // Server to admin: IPC_MSG_UPDATE for a connection from an IPv6 client
    // (IPC_UPDATE6_SIZE bytes, IpcPackUpdate6). IPv4 clients (also those on
    // an IPv4-mapped address) keep IPC_MSG_UPDATE; an admin that does not
    // know the type drops it and so shows the IPv4 connections only.
    IPC_MSG_UPDATE6 = 9,
    // Admin to server: "send me the details of your connections" (no data),
    // repeated every second while the admin's details view is shown; the
    // server sends IPC_MSG_DETAILS only while asked within the last few
    // seconds (ipc/ipc_details.h).
    IPC_MSG_DETAILS_REQUEST = 10,
    // Server to admin: the summary, or some connections' details (at most a
    // few datagrams a second); an admin that does not know the type drops it.
    IPC_MSG_DETAILS = 11,
    // Admin to server: end one connection (ipc/ipc_details.h).
    IPC_MSG_DISCONNECT = 12,
};

constexpr uint32_t IPC_HEADER_SIZE = 4;
constexpr uint32_t IPC_DATA_MAX = 256;
constexpr uint32_t IPC_MESSAGE_MAX = IPC_HEADER_SIZE + IPC_DATA_MAX;

struct IpcMessage {
    uint8_t type;
    uint8_t reserved;
    uint16_t length; // little-endian on the wire
    uint8_t data[IPC_DATA_MAX];
};

// Creates the incoming slot and opens the outgoing one for processRole.
void IpcStartup();
// Non-zero when the whole message was written; 0 otherwise (silently when the
// outgoing slot is not open). Main thread and socket thread.
int IpcSend(uint8_t type, const void* data, uint32_t length);
// Reads at most one message: 1 with *type, the data in buffer and *capacity
// replaced by the data length; 0 when there is none or it cannot be taken.
int IpcRecv(uint8_t* type, void* buffer, uint32_t* capacity);
void IpcOpenClientSlot();
// For a program that holds no role (brindlex-reg): sends one message without
// data to the server slot, as an admin does, and closes it again. 1 when it
// was written; 0 when no server or service reads the slot, or the write
// failed. Logs nothing.
int IpcNotifyServer(uint8_t type);
void IpcShutdown();
// The permissions the slot files are created with.
void InitSattrib();

// The data of IPC_MSG_UPDATE: the low 16 bits of the connection's number
// (little-endian), the client's port and IPv4 address (network order); a
// closed connection (client nullptr) has port 0 and address 255.255.255.255.
// A number above 65,535 appends its high 16 bits (little-endian): 10 bytes
// instead of 8, so numbers up to 65,535 keep the record every admin reads.
constexpr uint32_t IPC_UPDATE_SIZE = 8;
constexpr uint32_t IPC_UPDATE_WIDE_SIZE = 10;
// The data length (IPC_UPDATE_SIZE or IPC_UPDATE_WIDE_SIZE).
uint32_t IpcPackUpdate(uint8_t out[IPC_UPDATE_WIDE_SIZE], uint32_t connId,
                       const NetAddress* client);
// 1 with the number, *open and, for an open connection, *client; 0 for any
// length but those two.
int IpcUnpackUpdate(const uint8_t* in, uint32_t length, uint32_t* connId, NetAddress* client,
                    bool* open);

// The data of IPC_MSG_UPDATE6: the low 16 bits of the connection's number
// (little-endian), the client's port (network order) and IPv6 address; a
// closed connection (client nullptr) has port 0 and an address of all ones.
// A number above 65,535 appends its high 16 bits as IPC_MSG_UPDATE does.
constexpr uint32_t IPC_UPDATE6_SIZE = 20;
constexpr uint32_t IPC_UPDATE6_WIDE_SIZE = 22;
uint32_t IpcPackUpdate6(uint8_t out[IPC_UPDATE6_WIDE_SIZE], uint32_t connId,
                        const NetAddress* client);
int IpcUnpackUpdate6(const uint8_t* in, uint32_t length, uint32_t* connId, NetAddress* client,
                     bool* open);
