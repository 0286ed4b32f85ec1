#include "config/value_rules.h"

#include <cstring>

#include "config/program_settings.h"
#include "config/proxy_settings.h"
#include "log/log.h"
#include "platform/ascii.h"

namespace {
constexpr uint32_t ANY = 0xFFFFFFFF;

// The passive and listening values' forms, with the parsers the server's load uses.
const char* PassivePortsProblem(const char* text) {
    uint16_t low = 0, high = 0;
    return !*text || ParsePortRange(text, &low, &high) ? nullptr : "is not low-high, 1 to 65535";
}

const char* PassiveAddressProblem(const char* text) {
    NetAddress unused;
    return !*text || ParseHostAddress(text, false, &unused)
               ? nullptr
               : "is not empty or one IPv4 or IPv6 address (not 0.0.0.0, :: or 255.255.255.255)";
}

const char* ListenAddressProblem(const char* text) {
    NetAddress unused;
    return !*text || ParseHostAddress(text, true, &unused)
               ? nullptr
               : "is not empty (every address) or one IPv4 or IPv6 address (0.0.0.0 or :: for "
                 "every address of one family)";
}

const ValueRule rules[] = {
    {"Display", "Initially", VALUE_DWORD, 0, 1, 0},
    {"Display", "Minimized", VALUE_DWORD, 0, 1, 0},
    {"Display", "Details", VALUE_DWORD, 0, 1, 0},
    {"Log", "Logging", VALUE_DWORD, 0, 1, 0},
    {"Log", "Logsize", VALUE_DWORD, 0, ANY, 0},
    {"Log", "Logsync", VALUE_DWORD, 0, 1, 0},
    {"Log", "TRACE0", VALUE_DWORD, 0, 1, 1},
    {"Log", "TRACE1", VALUE_DWORD, 0, 1, 1},
    {"Log", "TRACE2", VALUE_DWORD, 0, 1, 1},
    {"Log", "TRACE3", VALUE_DWORD, 0, 1, 1},
    {"Log", "TRACE4", VALUE_DWORD, 0, 1, 1},
    {"Log", "TRACE5", VALUE_DWORD, 0, 1, 0},
    {"Log", "Path", VALUE_STRING, 0, 0, 0},
    {"Log", "Audit", VALUE_DWORD, 0, 1, 0},
    {"Log", "TraceFloor", VALUE_DWORD, 0, ANY, LOG_TRACE_FLOOR_DEFAULT},
    {"Log", "PreLoginTrace", VALUE_DWORD, 0, ANY, LOG_PRE_LOGIN_TRACE_DEFAULT},
    {"Path", "Work", VALUE_STRING, 0, 0, 0},
    {"Path", "App", VALUE_STRING, 0, 0, 0},
    {"Path", "Service", VALUE_STRING, 0, 0, 0},
    {"Path", "Log", VALUE_STRING, 0, 0, 0},
    {"Path", "Trace", VALUE_DWORD, 0, 1, 0},
    {"System", "Enable", VALUE_DWORD, 0, 1, 1},
    {"System", "MaxConn", VALUE_DWORD, 0, 65535, 0},
    {"System", "Port", VALUE_DWORD, 1, 65535, 21},
    {"System", "PassivePorts", VALUE_STRING, 0, 0, 0, PassivePortsProblem},
    {"System", "PassiveAddress", VALUE_STRING, 0, 0, 0, PassiveAddressProblem},
    {"System", "ListenAddress", VALUE_STRING, 0, 0, 0, ListenAddressProblem},
    {"System", "Extensions", VALUE_DWORD, 0, 1, 0},
    {"System", "LoginTimeout", VALUE_DWORD, 0, ANY, 0},
    {"System", "IdleTimeout", VALUE_DWORD, 0, ANY, 0},
    {"System", "LoginFailDelay", VALUE_DWORD, 0, ANY, 1000},
    {"System", "RunAs", VALUE_STRING, 0, 0, 0},
    {"System", "LoginFailLimit", VALUE_DWORD, 0, ANY, 5},
    {"System", "LoginFailWindow", VALUE_DWORD, 1, ANY, 300},
    {"System", "LoginLockTime", VALUE_DWORD, 1, ANY, 60},
    {"System", "DataTimeout", VALUE_DWORD, 0, ANY, 0},
    {"System", "PassiveTimeout", VALUE_DWORD, 0, ANY, 60},
    {"System", "ProxyProtocol", VALUE_DWORD, 0, 1, 0},
    {"System", "ProxyFrom", VALUE_STRING, 0, 0, 0, ProxyFromProblem},
    {"System", "MaxConnPerAddress", VALUE_DWORD, 0, 65535, 0},
    {"System", "SocketThreads", VALUE_DWORD, 0, 16, 0},
    {"System", "MetricsPerAccount", VALUE_DWORD, 0, 1, 0},
    {"System", "UploadHook", VALUE_STRING, 0, 0, 0, UploadHookProblem},
    {"System", "UploadHookTimeout", VALUE_DWORD, 1, ANY, 60},
    {"System", "MetricsAddress", VALUE_STRING, 0, 0, 0, MetricsAddressProblem},
    {"System", "MaxDownloadRate", VALUE_DWORD, 0, ANY, 0},
    {"System", "MaxUploadRate", VALUE_DWORD, 0, ANY, 0},
    {"System", "Tls", VALUE_DWORD, 0, 2, 0},
    {"System", "TlsCertificate", VALUE_STRING, 0, 0, 0},
    {"System", "TlsKey", VALUE_STRING, 0, 0, 0},
    {"System", "TlsDataResume", VALUE_DWORD, 0, 1, 1},
    {"System", "ImplicitTlsPort", VALUE_DWORD, 0, 65535, 0},
    {"Window", "Left", VALUE_DWORD, 0, ANY, 0},
    {"Window", "Top", VALUE_DWORD, 0, ANY, 0},
    {"Window", "Right", VALUE_DWORD, 0, ANY, 0},
    {"Window", "Bottom", VALUE_DWORD, 0, ANY, 0},
    {"Users", "Root", VALUE_STRING, 0, 0, 0},
    {"Users", "Home", VALUE_STRING, 0, 0, 0},
    {"Users", "PW", VALUE_STRING, 0, 0, 0},
    {"Users", "Anonymous", VALUE_DWORD, 0, 1, 0},
    {"Users", "Enable", VALUE_DWORD, 0, 1, 1},
    {"Users", "Restrict", VALUE_DWORD, 0, 1, 1},
    {"Users", "MaxConn", VALUE_DWORD, 0, 65535, 0},
    {"Users", "List", VALUE_DWORD, 0, 1, 0},
    {"Users", "Get", VALUE_DWORD, 0, 1, 0},
    {"Users", "Put", VALUE_DWORD, 0, 1, 0},
    {"Users", "Create", VALUE_DWORD, 0, 1, 0},
    {"Users", "DeleteDir", VALUE_DWORD, 0, 1, 0},
    {"Users", "DeleteFile", VALUE_DWORD, 0, 1, 0},
    {"Users", "Recurse", VALUE_DWORD, 0, 1, 0},
    {"Users", "MaxDownloadRate", VALUE_DWORD, 0, ANY, 0},
    {"Users", "MaxUploadRate", VALUE_DWORD, 0, ANY, 0},
    {"Users", "QuotaMiB", VALUE_DWORD, 0, ANY, 0},
    {"Users", "QuotaFiles", VALUE_DWORD, 0, ANY, 0},
};

const char* const groups[] = {"Display", "Log", "Path", "System", "Users", "Window"};
} // namespace

std::string ValueGroupOf(const std::string& key) {
    std::string first = key.substr(0, key.find('\\'));
    size_t names = 1;
    for (char c : key)
        names += c == '\\';
    for (const char* group : groups) {
        if (AsciiCompareNoCase(first.c_str(), group) != 0) continue;
        bool users = strcmp(group, "Users") == 0;
        return names == (users ? 2u : 1u) ? group : "";
    }
    return "";
}

std::string ValueGroupNames() {
    return "Display, Log, Path, System, Users\\NAME, Window";
}

const ValueRule* ValueRuleFind(const std::string& group, const std::string& name) {
    for (const ValueRule& rule : rules)
        if (group == rule.group && AsciiCompareNoCase(name.c_str(), rule.name) == 0) return &rule;
    return nullptr;
}

std::string ValueRuleNames(const std::string& group) {
    std::string names;
    for (const ValueRule& rule : rules) {
        if (group != rule.group) continue;
        if (!names.empty()) names += ", ";
        names += rule.name;
    }
    return names;
}

std::string ValueRuleRange(const ValueRule& rule) {
    if (rule.kind == VALUE_STRING) return "a string";
    if (rule.min == 0 && rule.max == ANY) return "any number";
    if (rule.min == 0 && rule.max == 1) return "0 or 1";
    return std::to_string(rule.min) + " to " + std::to_string(rule.max);
}

std::string ValueTextProblem(const ValueRule& rule, const std::string& text, uint32_t* number) {
    if (rule.kind == VALUE_STRING) {
        const char* problem = rule.textProblem ? rule.textProblem(text.c_str()) : nullptr;
        return problem ? problem : "";
    }
    uint64_t value = 0;
    if (text.empty() || text.size() > 10) return "is not a number";
    for (char c : text) {
        if (c < '0' || c > '9') return "is not a number";
        value = value * 10 + (uint64_t)(c - '0');
    }
    if (value > ANY) return "is not a number";
    if (value < rule.min || value > rule.max) return "is not " + ValueRuleRange(rule);
    *number = (uint32_t)value;
    return "";
}

uint32_t RegGetCheckedDword(HKEY key, const char* caller, const char* group, const char* name) {
    const ValueRule* rule = ValueRuleFind(group, name);
    uint32_t byDefault = rule ? rule->byDefault : 0;
    uint32_t type = 0, value = 0, size = sizeof value;
    long status = RegQueryValueExA(key, name, nullptr, &type, (uint8_t*)&value, &size);
    if (status == ERROR_FILE_NOT_FOUND) return byDefault;
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == 4) {
        if (!rule || (value >= rule->min && value <= rule->max)) return value;
        LogPrintf(LOG_WARNING, "%s: %s\\%s %lu is not %s; %lu is used", caller, group, name,
                  (unsigned long)value, ValueRuleRange(*rule).c_str(), (unsigned long)byDefault);
        return byDefault;
    }
    LogPrintf(LOG_WARNING, "%s: %s\\%s is not stored as a number; %lu is used", caller, group, name,
              (unsigned long)byDefault);
    return byDefault;
}
