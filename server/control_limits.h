// Limits and helpers shared by the control channel and the dispatcher.
// Socket thread only.
#pragma once

#include "server/conn.h"

// The control input queue holds at most this many unread bytes: reading from
// the socket is put off while it is full (the client's sends then wait in
// TCP), so a client can never make it grow without bound, also not while
// command processing is put off during a transfer.
constexpr uint32_t CONTROL_IN_MAX = 16384;
// Lines are no longer taken while this many reply bytes wait to be sent: a
// client that sends commands but never reads the replies stops being served
// until it reads, instead of growing the output queue without bound.
constexpr uint32_t CONTROL_OUT_MAX = 65536;

inline bool ControlInputFull(const Conn* conn) {
    return QueueUnread(&conn->control.in) >= CONTROL_IN_MAX;
}
inline bool ControlOutputBacklogged(const Conn* conn) {
    return conn->control.out.block && conn->control.out.length >= CONTROL_OUT_MAX;
}

// The greeting: "welcome.txt" as a multi-line 220 reply, or "220 " and the
// version caption. Sent at accept and by REIN.
void SendGreeting(Conn* conn);
// Counts conn under its address; greets it within MaxConnPerAddress, else
// gives it the refusal of MaxConn (ConnWelcome, server/address_limit.h).
void GreetOrRefuse(Conn* conn);
// "421 Too may users; try again later", counted under limit (RefusalLimit),
// and the connection closes once it is sent.
void RefuseBusy(Conn* conn, uint8_t limit);

// A message file as a multi-line reply whose code is the first three
// characters of text, or text itself as the one-line reply.
void ReplyFileText(Conn* conn, const char* fileName, const char* text);
