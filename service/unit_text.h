// The text of the unit file "kelpwatch.service".
#pragma once

#include <string>

// The program path as the ExecStart= line's command: quoted and escaped
// where systemd would otherwise split, expand or prefix it. 0 for a path
// that no unit line can hold (a control character, such as a line end, or
// bytes that are not UTF-8) and for a relative path with directories.
int UnitCommand(const char* path, std::string* command);

// A new unit: description "Brindlex", notifying service running command,
// started at boot.
std::string UnitNew(const std::string& command);

// An existing unit with its description set to "Brindlex" and its command
// to `command`; every other line is kept as it is. Missing lines and
// sections are added.
std::string UnitRewrite(const std::string& text, const std::string& command);
