// What brindlex-reg checks before it writes or reads the store: a set names a
// key and value the programs read, with the type and within the range they
// can use (--force stores anything); get, list and delete need a store to
// exist (none is made just to read it).
#pragma once

#include <string>

// The problem with storing value name under key (relative to the
// application key, "\" separated) as a DWORD (isDword, number) or a string
// (text); "" when there is none. The text names the accepted keys, values,
// range or form.
std::string SetProblem(const std::string& key, const std::string& name, bool isDword,
                       uint32_t number, const std::string& text = "");
// A warning about a value that is stored but cannot work yet (an account's
// Root that is not an existing directory); "" when there is none.
std::string SetWarning(const std::string& key, const std::string& name, const std::string& text);
// Whether the store file exists.
bool StoreExists();
