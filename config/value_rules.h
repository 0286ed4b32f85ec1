// The values the programs read from the store, with their type and the
// range they can use: one table for brindlex-reg, which checks what it is
// asked to store, and for the server, which logs a stored value it cannot use
// and takes the default instead.
#pragma once

#include <cstdint>
#include <string>

#include "config/config.h"

enum ValueKind { VALUE_DWORD, VALUE_STRING };

struct ValueRule {
    const char* group; // "System", "Log", "Display", "Path", "Window", "Users" (each account)
    const char* name;
    ValueKind kind;
    uint32_t min, max;  // a DWORD's accepted range
    uint32_t byDefault; // what a missing or unusable DWORD reads as
    // A string's form: the problem with text ("is not ..."), or nullptr when
    // the server can use it. nullptr = any text.
    const char* (*textProblem)(const char* text) = nullptr;
};

// The group of a key path below the application key ("System", "Users" for
// "Users\bob"), or "" for a key the programs do not read (the application
// key itself, "Users" alone, a misspelt group, a key below an account).
std::string ValueGroupOf(const std::string& keyBelowApp);
// The accepted group names ("Display, Log, Path, System, Users\NAME, Window").
std::string ValueGroupNames();
// The rule of name in group (names match regardless of case), or nullptr.
const ValueRule* ValueRuleFind(const std::string& group, const std::string& name);
// The names of group's values, ", " between them.
std::string ValueRuleNames(const std::string& group);
// The accepted range as text: "0 or 1", "1 to 65535", "any number".
std::string ValueRuleRange(const ValueRule& rule);

// Whether text, as typed, is a value the rule accepts: a DWORD as decimal
// digits within the range (into *number), a string of the rule's form. ""
// when it is, else why not ("is not a number", "is not 0 or 1", "is not
// low-high, 1 to 65535"). The window judges values by it, as brindlex-reg.
std::string ValueTextProblem(const ValueRule& rule, const std::string& text, uint32_t* number);

// The server's read of a checked DWORD: the stored value when it is a DWORD
// within the rule's range; else (a string, a value out of range) a warning
// "caller: Group\Name ... ; N is used" and the default. A missing value gives
// the default silently.
uint32_t RegGetCheckedDword(HKEY key, const char* caller, const char* group, const char* name);
