// The command table and every command handler. A row of the table holds all
// the rules of one command word; the dispatcher applies them (the restart
// offset, login, argument, permission, in that order) and only then calls
// the handler with the connection and the argument. Adding a command is one
// row in command_table.cpp and one handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/conn.h"

// A handler: the connection and the argument as the row's argument rule
// gives it.
using CommandHandler = void (*)(Conn* conn, const char* arg);

// What follows the command word. The word ends at the first blank.
enum CommandArgumentRule : uint8_t {
    ARG_NONE,     // none: a blank after the word is "501 Unexpected parameter."
    ARG_OPTIONAL, // the text after the word and one blank (further blanks
                  // belong to it), nullptr when no blank follows the word
    ARG_REQUIRED, // as ARG_OPTIONAL, and nullptr is refused with
                  // "500 Syntax error; parameter required."
    ARG_REST,     // the whole rest of the line after the word, its blanks
                  // included ("" when nothing follows)
};

enum : uint8_t {
    CMD_LOGIN = 0x01,        // refused with "530 Not logged in." unless logged in
    CMD_EXTENSION = 0x02,    // known only while the connection has the
                             // extensions on; HELP does not list it
    CMD_UNLISTED = 0x04,     // answered, but HELP does not list it
    CMD_VIA_TRANSFER = 0x08, // refusals go through TransferReply, which cuts
                             // short a listing still being sent
    CMD_TAKES_OFFSET = 0x10, // a file transfer: it uses up the restart offset
                             // of REST (into filePosition), also when refused
    CMD_URGENT = 0x20,       // a waiting line of this word ends the transfer in
                             // progress at once (extensions on)
    CMD_TLS = 0x40,          // known only while the connection's "Tls" switch is
                             // on, whatever "Extensions" says; HELP does not list it
};

struct CommandRow {
    const char* word = nullptr;               // upper case, 3 or 4 characters
    const char* twin = nullptr;               // the X-word answered alike, or nullptr
    CommandHandler handler = nullptr;         // runs once every rule below holds
    uint8_t flags = 0;                        // CMD_*
    uint8_t argument = ARG_NONE;              // CommandArgumentRule
    uint8_t permission = 0;                   // PERM_* bits, any one of which suffices; 0: none
    uint16_t deniedCode = 0;                  // the refusal without permission: deniedCode (450
    const char* deniedText = nullptr;         // turns 550 with the extensions on) and deniedText
    const char* feature = nullptr;            // FEAT's line for the command, or nullptr
    std::string (*featureDetail)() = nullptr; // appended to feature after a blank
};

// The rows in the order HELP lists them.
const std::vector<CommandRow>& CommandRows();
// The row of a command word (bytes, length characters, either case) on this
// connection: words of any length but 3 or 4, unknown words and extension
// words while the extensions are off have none (nullptr).
const CommandRow* FindCommand(const Conn* conn, const char* word, size_t length);
// Adds a row at the end of the table; 0 (logged) when its word or twin is
// taken. Only while no socket thread runs.
int AddCommand(const CommandRow& row);
// Removes the row of word. Only while no socket thread runs.
void RemoveCommand(const char* word);
// HELP's word lines ("   WORD" CR LF each): the listed words in table order,
// then their X-twins in the same order.
void QueueCommandList(Queue* out);
// FEAT's feature lines (" LINE" CR LF each), in alphabetical order.
void QueueFeatureList(Queue* out, const Conn* conn);

void ProcessCommands(Conn* conn);

// Login and connection commands.
void CmdUser(Conn* conn, const char* arg);
void CmdPass(Conn* conn, const char* arg);
// Logs the account in with replyText, unless its Root is missing (then the
// refusal). recordBy names the command in the "user x logged in" record;
// nullptr writes none (an anonymous login).
void LoginComplete(Conn* conn, const char* replyText, const char* recordBy);
void CmdQuit(Conn* conn, const char* arg);
void CmdRein(Conn* conn, const char* arg);
void CmdNoop(Conn* conn, const char* arg);
void CmdSyst(Conn* conn, const char* arg);
void CmdHelp(Conn* conn, const char* arg);
void CmdType(Conn* conn, const char* arg);
void CmdMode(Conn* conn, const char* arg);
void CmdStru(Conn* conn, const char* arg);

// Directory and file management.
void CmdCwd(Conn* conn, const char* arg);
void CmdCdup(Conn* conn, const char* arg);
void CmdPwd(Conn* conn, const char* arg);
void CmdMkd(Conn* conn, const char* arg);
void CmdRmd(Conn* conn, const char* arg);
void CmdDele(Conn* conn, const char* arg);
void CmdRnfr(Conn* conn, const char* arg);
void CmdRnto(Conn* conn, const char* arg);

// Data connections.
void CmdPort(Conn* conn, const char* arg);
void CmdPasv(Conn* conn, const char* arg);

// Listing.
void CmdList(Conn* conn, const char* arg);
void CmdNlst(Conn* conn, const char* arg);

// File transfer.
void CmdRetr(Conn* conn, const char* arg);
void CmdStor(Conn* conn, const char* arg);
void CmdAppe(Conn* conn, const char* arg);
void CmdRest(Conn* conn, const char* arg);

// Protocol extensions, reached only on connections with the "Extensions"
// switch on.
void CmdFeat(Conn* conn, const char* arg);
void CmdOpts(Conn* conn, const char* arg);
void CmdSize(Conn* conn, const char* arg);
void CmdMdtm(Conn* conn, const char* arg);
void CmdMlst(Conn* conn, const char* arg);
void CmdMlsd(Conn* conn, const char* arg);
void CmdEpsv(Conn* conn, const char* arg);
void CmdEprt(Conn* conn, const char* arg);
void CmdAbor(Conn* conn, const char* arg);

// FTP over TLS (RFC 4217).
void CmdAuth(Conn* conn, const char* arg);
void CmdPbsz(Conn* conn, const char* arg);
void CmdProt(Conn* conn, const char* arg);
void CmdCcc(Conn* conn, const char* arg);

// The Telnet interrupt bytes at the start of a control line (in front of an
// urgent ABOR): how many there are.
size_t TelnetPrefixLength(const uint8_t* line, size_t length);
// Ends the transfer in progress at once: closes the data connection and the
// file, replies "426 Connection closed; transfer aborted.", and lets
// commands be processed again.
void AbortTransfer(Conn* conn);
