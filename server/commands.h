// The command dispatcher and every command handler. Each handler takes the
// connection; the line being handled is in commandLine, without its CR LF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/conn.h"

// The line being handled, zero-terminated, CR and LF cut off.
extern char commandLine[CONN_BUFFER_SIZE];

// The argument of a command whose word has wordLength characters: the text
// after the one blank that follows the word, or nullptr when the character
// after the word is not a blank.
inline const char* CommandArgument(int wordLength) {
    return commandLine[wordLength] == ' ' ? commandLine + wordLength + 1 : nullptr;
}

void ProcessCommands(Conn* conn);

// A word of the command table. HELP lists the words in table order, except
// those flagged CMD_UNLISTED (answered but never listed) and CMD_EXTENSION
// (answered only while extensions are switched on).
enum : uint8_t { CMD_UNLISTED = 1, CMD_EXTENSION = 2 };
struct CommandEntry {
    const char* word; // upper case, 3 or 4 letters
    void (*handler)(Conn* conn);
    uint8_t flags;
};
const CommandEntry* CommandTable(size_t* count);
// Queues HELP's word lines ("   WORD" CR LF each) onto out.
void QueueCommandList(Queue* out);

// Login and connection commands.
void CmdUser(Conn* conn);
void CmdPass(Conn* conn);
void LoginComplete(Conn* conn, const char* replyText);
void CmdQuit(Conn* conn);
void CmdRein(Conn* conn);
void CmdNoop(Conn* conn);
void CmdSyst(Conn* conn);
void CmdHelp(Conn* conn);
void CmdType(Conn* conn);
void CmdMode(Conn* conn);
void CmdStru(Conn* conn);

// Directory and file management.
void CmdCwd(Conn* conn);
void CmdCdup(Conn* conn);
void CmdPwd(Conn* conn);
void CmdMkd(Conn* conn);
void CmdRmd(Conn* conn);
void CmdDele(Conn* conn);
void CmdRnfr(Conn* conn);
void CmdRnto(Conn* conn);

// Data connections.
void CmdPort(Conn* conn);
void CmdPasv(Conn* conn);

// Listing.
void CmdList(Conn* conn);
void CmdNlst(Conn* conn);

// File transfer.
void CmdRetr(Conn* conn);
void CmdStor(Conn* conn);
void CmdAppe(Conn* conn);
void CmdRest(Conn* conn);

// Protocol extensions, reached only on connections with the "Extensions"
// switch on.
void CmdFeat(Conn* conn);
void CmdOpts(Conn* conn);
void CmdSize(Conn* conn);
void CmdMdtm(Conn* conn);
void CmdMlst(Conn* conn);
void CmdMlsd(Conn* conn);
void CmdEpsv(Conn* conn);
void CmdEprt(Conn* conn);
void CmdAbor(Conn* conn);

// The Telnet interrupt bytes at the start of a control line (in front of an
// urgent ABOR): how many there are.
size_t TelnetPrefixLength(const uint8_t* line, size_t length);
// True when a complete ABOR line waits in the control input queue.
bool AborWaiting(Conn* conn);
// Ends the transfer in progress at once: closes the data connection and the
// file, replies "426 Connection closed; transfer aborted.", and lets
// commands be processed again.
void AbortTransfer(Conn* conn);
