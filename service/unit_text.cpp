#include "service/unit_text.h"

#include <map>
#include <vector>

#include "service/service.h"

namespace {

// The lines this program owns, by section; everything else in a unit is
// the administrator's and stays.
struct OwnedLine {
    const char* section;
    const char* key;
};
constexpr OwnedLine OWNED[] = {{"Unit", "Description"}, {"Service", "ExecStart"}};

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string OwnedValue(const char* key, const std::string& command) {
    return std::string(key) + "=" +
           (std::string(key) == "ExecStart" ? command : SERVICE_DISPLAY_NAME);
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
        if (c == '%') escaped += '%'; // a specifier otherwise (variables are not expanded here)
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    *command = quote ? "\"" + escaped + "\"" : escaped;
    return 1;
}

// systemd's stop signal goes to kelpwatch alone (KillMode=mixed), which
// stops the server it started; systemd still waits until the server has
// ended. Sent to every process of the service at once, the server could be
// gone before kelpwatch looks for it, and a normal stop would count as a
// failure.
std::string UnitNew(const std::string& command) {
    return "[Unit]\n" + OwnedValue("Description", command) +
           "\n\n"
           "[Service]\n"
           "Type=notify\n" +
           OwnedValue("ExecStart", command) +
           "\n"
           "KillMode=mixed\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string UnitRewrite(const std::string& text, const std::string& command) {
    std::vector<std::string> out;
    std::map<std::string, size_t> sectionEnd; // where a missing line of a section goes
    std::map<std::string, bool> placed;
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
        const OwnedLine* owned = nullptr;
        size_t eq = t.find('=');
        if (!t.empty() && t[0] != '#' && t[0] != ';' && eq != std::string::npos) {
            for (const OwnedLine& o : OWNED) {
                if (section == o.section && Trim(t.substr(0, eq)) == o.key) owned = &o;
            }
        }
        if (owned) {
            // The first of the line's kind becomes ours; later ones (and
            // their continuations) would add to or reset it, so they go.
            dropping = continued;
            if (placed[owned->key]) continue;
            placed[owned->key] = true;
            line = OwnedValue(owned->key, command);
        }
        out.push_back(line);
        if (!t.empty()) sectionEnd[section] = out.size();
    }

    std::string appended;
    for (const OwnedLine& o : OWNED) {
        if (placed[o.key]) continue;
        auto at = sectionEnd.find(o.section);
        if (at == sectionEnd.end()) {
            appended += std::string("\n[") + o.section + "]\n" + OwnedValue(o.key, command) + "\n";
            continue;
        }
        size_t index = at->second;
        out.insert(out.begin() + (long)index, OwnedValue(o.key, command));
        for (auto& entry : sectionEnd) {
            if (entry.second >= index) entry.second++;
        }
    }
    std::string result;
    for (const std::string& line : out)
        result += line + "\n";
    return result + appended;
}
