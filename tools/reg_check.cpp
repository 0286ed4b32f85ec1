#include <cstdint>
#include <filesystem>

#include "config/value_rules.h"
#include "platform/store.h"
#include "tools/reg_check.h"

std::string SetProblem(const std::string& key, const std::string& name, bool isDword,
                       uint32_t number, const std::string& text) {
    std::string group = ValueGroupOf(key);
    if (group.empty())
        return "'" + key + "' is not a key the server reads (" + ValueGroupNames() +
               "); --force stores it anyway";
    const ValueRule* rule = ValueRuleFind(group, name);
    std::string where = group == "Users" ? key : group;
    if (!rule)
        return where + " has no value '" + name + "' (the values read: " + ValueRuleNames(group) +
               "); --force stores it anyway";
    std::string full = where + "\\" + rule->name;
    if (rule->kind == VALUE_STRING && isDword)
        return full + " is a string: use --string TEXT (--force stores a number anyway)";
    if (rule->kind == VALUE_DWORD && !isDword)
        return full + " is a number, " + ValueRuleRange(*rule) +
               ": use --dword N (--force stores a string anyway)";
    if (rule->kind == VALUE_DWORD && (number < rule->min || number > rule->max))
        return full + " " + std::to_string(number) + " is not " + ValueRuleRange(*rule) +
               " (--force stores it anyway)";
    if (rule->kind == VALUE_STRING && !isDword && rule->textProblem)
        if (const char* problem = rule->textProblem(text.c_str()))
            return full + " '" + text + "' " + problem + " (--force stores it anyway)";
    return "";
}

std::string SetWarning(const std::string& key, const std::string& name, const std::string& text) {
    if (ValueGroupOf(key) != "Users" || !ValueRuleFind("Users", name) ||
        ValueRuleFind("Users", name) != ValueRuleFind("Users", "Root"))
        return "";
    std::error_code error;
    if (!text.empty() && std::filesystem::is_directory(text, error)) return "";
    return key + " Root '" + text +
           "' is not an existing directory: the account is refused at login until it is";
}

bool StoreExists() {
    std::error_code error;
    return std::filesystem::exists(StorePath(), error);
}
