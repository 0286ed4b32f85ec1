#include "service/unit_text.h"

#include <map>
#include <vector>

#include "service/service.h"

namespace {

// The lines of a new unit, in order. Owned lines are this program's and are
// rewritten on every install; the others are written once, and added to an
// existing unit only where it lacks the setting. Each is explained in the
// README and in kelpwatch(8).
struct UnitLine {
    const char* section;
    const char* key;
    const char* value; // nullptr: the owned value (description, command, user)
};
constexpr UnitLine LINES[] = {
    {"Unit", "Description", nullptr},
    {"Unit", "After", "network.target"},
    {"Service", "Type", "notify"},
    {"Service", "ExecStart", nullptr},
    // systemd's stop signal goes to kelpwatch alone, which stops the server
    // it started; systemd still waits until the server has ended. Sent to
    // every process of the service at once, the server could be gone before
    // kelpwatch looks for it, and a normal stop would count as a failure.
    {"Service", "KillMode", "mixed"},
    {"Service", "User", nullptr},
    {"Service", "RuntimeDirectory", "brindlex"},
    {"Service", "RuntimeDirectoryMode", "0755"},
    {"Service", "StateDirectory", "brindlex"},
    {"Service", "StateDirectoryMode", "0750"},
    {"Service", "LogsDirectory", "brindlex"},
    {"Service", "LogsDirectoryMode", "0750"},
    {"Service", "UMask", "0027"},
    {"Service", "AmbientCapabilities", "CAP_NET_BIND_SERVICE"},
    {"Service", "CapabilityBoundingSet", "CAP_NET_BIND_SERVICE"},
    {"Service", "NoNewPrivileges", "yes"},
    {"Service", "ProtectSystem", "full"},
    {"Service", "PrivateTmp", "yes"},
    {"Service", "PrivateDevices", "yes"},
    {"Service", "PrivateMounts", "yes"},
    {"Service", "ProtectKernelTunables", "yes"},
    {"Service", "ProtectKernelModules", "yes"},
    {"Service", "ProtectKernelLogs", "yes"},
    {"Service", "ProtectControlGroups", "yes"},
    {"Service", "ProtectClock", "yes"},
    {"Service", "ProtectHostname", "yes"},
    {"Service", "ProtectProc", "invisible"},
    {"Service", "ProcSubset", "pid"},
    {"Service", "RestrictAddressFamilies", "AF_INET AF_INET6 AF_UNIX"},
    {"Service", "RestrictNamespaces", "yes"},
    {"Service", "RestrictRealtime", "yes"},
    {"Service", "RestrictSUIDSGID", "yes"},
    {"Service", "LockPersonality", "yes"},
    {"Service", "MemoryDenyWriteExecute", "yes"},
    {"Service", "SystemCallArchitectures", "native"},
    {"Service", "SystemCallFilter", "@system-service"},
    {"Service", "SystemCallFilter", "~@privileged"},
    {"Service", "SystemCallErrorNumber", "EPERM"},
    {"Service", "RemoveIPC", "yes"},
    {"Service", "KeyringMode", "private"},
    {"Install", "WantedBy", "multi-user.target"},
};

struct Owned {
    std::string command, user;
};

bool IsOwned(const UnitLine& line) {
    return line.value == nullptr;
}

std::string LineText(const UnitLine& line, const Owned& owned) {
    std::string key = line.key;
    const std::string value = line.value           ? line.value
                              : key == "ExecStart" ? owned.command
                              : key == "User"      ? owned.user
                                                   : SERVICE_DISPLAY_NAME;
    return key + "=" + value;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// systemd ignores a unit line that is not valid UTF-8.
bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t length = c < 0x80           ? 1
                        : (c >> 5) == 0x6  ? 2
                        : (c >> 4) == 0xE  ? 3
                        : (c >> 3) == 0x1E ? 4
                                           : 0;
        if (!length || i + length > s.size()) return false;
        for (size_t k = 1; k < length; k++) {
            if (((unsigned char)s[i + k] >> 6) != 0x2) return false;
        }
        i += length;
    }
    return true;
}

} // namespace

int UnitCommand(const char* path, std::string* command) {
    std::string p = path ? path : "";
    // systemd takes a bare file name from its search path but refuses any
    // other relative path; a control character would end the line and let
    // the rest of the value become lines of its own.
    if (p.empty() || (p[0] != '/' && p.find('/') != std::string::npos) || !ValidUtf8(p)) return 0;
    bool quote = std::string("-@:+!").find(p[0]) != std::string::npos;
    std::string escaped;
    for (char c : p) {
        if ((unsigned char)c < 0x20 || c == 0x7f) return 0;
        if (c == ' ' || c == '"' || c == '\'' || c == '\\' || c == ';') quote = true;
        // "%" starts a specifier everywhere on the line. "$" is left as it
        // is: systemd expands variables ("$$" for a dollar) only in the
        // arguments after the program, and takes the program's path as
        // written; doubled here, it would name another file.
        if (c == '%') escaped += '%';
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    *command = quote ? "\"" + escaped + "\"" : escaped;
    return 1;
}

int UnitUserValid(const char* user) {
    // The names systemd takes in User= without complaint: a letter or "_"
    // first, then letters, digits, "_" and "-", at most 31 characters.
    std::string u = user ? user : "";
    if (u.empty() || u.size() > 31) return 0;
    for (size_t i = 0; i < u.size(); i++) {
        char c = u[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '-'))) return 0;
    }
    return 1;
}

std::string UnitNew(const std::string& command, const std::string& user) {
    Owned owned{command, user};
    std::string text, section;
    for (const UnitLine& line : LINES) {
        if (section != line.section) {
            text += (section.empty() ? "[" : "\n[") + std::string(line.section) + "]\n";
            section = line.section;
        }
        text += LineText(line, owned) + "\n";
    }
    return text;
}

std::string UnitRewrite(const std::string& text, const std::string& command,
                        const std::string& user) {
    Owned ownedValues{command, user};
    std::vector<std::string> out;
    std::map<std::string, size_t> sectionEnd;  // where a missing line of a section goes
    std::map<std::string, bool> placed, found; // by "section/key"
    std::string section;
    bool dropping = false; // inside the continuation lines of a replaced line
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        std::string t = Trim(line);
        bool continued = !t.empty() && t.back() == '\\';
        if (dropping) {
            dropping = continued;
            continue;
        }
        if (!t.empty() && t[0] == '[') {
            section =
                t.substr(1, t.find(']') == std::string::npos ? std::string::npos : t.find(']') - 1);
            out.push_back(line);
            sectionEnd[section] = out.size();
            continue;
        }
        const UnitLine* owned = nullptr;
        size_t eq = t.find('=');
        if (!t.empty() && t[0] != '#' && t[0] != ';' && eq != std::string::npos) {
            std::string key = Trim(t.substr(0, eq));
            found[section + "/" + key] = true;
            for (const UnitLine& l : LINES) {
                if (IsOwned(l) && section == l.section && key == l.key) owned = &l;
            }
        }
        if (owned) {
            // The first of the line's kind becomes ours; later ones (and
            // their continuations) would add to or reset it, so they go.
            dropping = continued;
            std::string id = section + "/" + owned->key;
            if (placed[id]) continue;
            placed[id] = true;
            line = LineText(*owned, ownedValues);
        }
        out.push_back(line);
        if (!t.empty()) sectionEnd[section] = out.size();
    }

    std::string appended, appendedSection;
    for (const UnitLine& l : LINES) {
        std::string id = std::string(l.section) + "/" + l.key;
        if (IsOwned(l) ? placed[id] : found[id]) continue;
        auto at = sectionEnd.find(l.section);
        if (at == sectionEnd.end()) {
            if (appendedSection != l.section) appended += std::string("\n[") + l.section + "]\n";
            appendedSection = l.section;
            appended += LineText(l, ownedValues) + "\n";
            continue;
        }
        size_t index = at->second;
        out.insert(out.begin() + (long)index, LineText(l, ownedValues));
        for (auto& entry : sectionEnd) {
            if (entry.second >= index) entry.second++;
        }
    }
    std::string result;
    for (const std::string& line : out)
        result += line + "\n";
    return result + appended;
}
