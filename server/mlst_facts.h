// The facts of MLST and MLSD lines: type, size, modify, perm and unique,
// each chosen by a MLST_FACT_* bit.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/fs.h"
#include "server/conn.h"

// The bit of a fact name (letters in any case), 0 for an unknown name.
uint8_t MlstFactBit(const char* name);
// "type;size;..." of the chosen facts, each followed by ";" (and by "*;"
// when starred, as FEAT lists them).
std::string MlstFactList(uint8_t facts, bool starred);
// A time as UTC "YYYYMMDDHHMMSS" (MDTM and the modify fact).
std::string UtcTimeText(time_t when);
// One entry: the facts the connection chose, each "name=value;", then a
// blank and name. No line end.
std::string MlstEntry(const Conn* conn, const FsEntry& entry, const std::string& name);
