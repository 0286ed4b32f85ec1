// The text of the unit file "kelpwatch.service".
#pragma once

#include <string>

// The program path as the ExecStart= line's command: quoted and escaped
// where systemd would otherwise split it, expand a specifier ("%") in it,
// or take its first character as a prefix. The line has no arguments, so
// no variable ("$") is expanded in it. 0 for a path
// that no unit line can hold (a control character, such as a line end, or
// bytes that are not UTF-8) and for a relative path with directories.
int UnitCommand(const char* path, std::string* command);

// 1 for a name that a unit's User= line can hold (a system user name).
int UnitUserValid(const char* user);

// A new unit: description "Brindlex", notifying service running command as
// `user` with only the capability to bind ports below 1024 and the
// sandboxing of a file server whose roots may lie anywhere, started at boot.
std::string UnitNew(const std::string& command, const std::string& user);

// An existing unit with its description set to "Brindlex", its command to
// `command` and its user to `user`; every other line is kept as it is. A
// line of the new unit whose setting the unit lacks altogether is added to
// its section (a setting the administrator changed stays as changed).
std::string UnitRewrite(const std::string& text, const std::string& command,
                        const std::string& user);
