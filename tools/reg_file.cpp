#include "tools/reg_file.h"

#include <charconv>
#include <cstring>
#include <set>

#include "platform/ascii.h"
#include "platform/store.h"

namespace {

const char kHex[] = "0123456789abcdef";

std::string EncodeName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x21 || c >= 0x7F || strchr("%=[]\"", c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool DecodeName(const std::string& text, std::string* name) {
    name->clear();
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            *name += (char)(hi * 16 + lo);
            i += 2;
        } else if (c < 0x21 || c >= 0x7F || strchr("=[]\"", c)) {
            return false;
        } else {
            *name += (char)c;
        }
    }
    return !name->empty();
}

std::string QuoteString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

bool UnquoteString(const std::string& text, std::string* out, std::string* why) {
    out->clear();
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        *why = "a string is written in double quotes";
        return false;
    }
    for (size_t i = 1; i + 1 < text.size(); i++) {
        char c = text[i];
        if (c == '"') {
            *why = "a '\"' inside a string must be written \\\"";
            return false;
        }
        if (c != '\\') {
            *out += c;
            continue;
        }
        char next = i + 2 < text.size() ? text[i + 1] : 0;
        if (next == '\\' || next == '"') {
            *out += next;
            i++;
        } else if (next == 'x' && i + 4 < text.size() && HexDigit(text[i + 2]) >= 0 &&
                   HexDigit(text[i + 3]) >= 0) {
            *out += (char)(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
            i += 3;
        } else {
            *why = "a '\\' in a string is followed by \\, \" or xHH";
            return false;
        }
    }
    return true;
}

// A string value as the programs store it: its text and one terminator.
bool PlainString(const RegFileValue& value) {
    return value.type == REG_SZ && !value.data.empty() && value.data.back() == 0 &&
           value.data.find('\0') == value.data.size() - 1;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool ParseValue(const std::string& text, RegFileValue* value, std::string* why) {
    if (text.rfind("dword:", 0) == 0) {
        std::string digits = text.substr(6);
        uint64_t n = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            n > 0xFFFFFFFFull) {
            *why = "dword: is followed by a decimal number from 0 to 4294967295";
            return false;
        }
        uint32_t dword = (uint32_t)n;
        value->type = REG_DWORD;
        value->data.assign((const char*)&dword, 4);
        return true;
    }
    if (text.rfind("string:", 0) == 0) {
        if (!UnquoteString(text.substr(7), &value->data, why)) return false;
        if (value->data.find('\0') != std::string::npos) {
            *why = "a string holds no \\x00 (binary: keeps such bytes)";
            return false;
        }
        value->type = REG_SZ;
        value->data += '\0';
        return true;
    }
    if (text.rfind("binary:", 0) == 0) {
        size_t colon = text.find(':', 7);
        std::string type = colon == std::string::npos ? "" : text.substr(7, colon - 7);
        uint32_t t = 0;
        auto [end, error] = std::from_chars(type.data(), type.data() + type.size(), t);
        std::string hex = colon == std::string::npos ? "x" : text.substr(colon + 1);
        bool ok = !type.empty() && error == std::errc() && end == type.data() + type.size() &&
                  hex.size() % 2 == 0;
        value->data.clear();
        for (size_t i = 0; ok && i < hex.size(); i += 2) {
            int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
            ok = hi >= 0 && lo >= 0;
            value->data += (char)(hi * 16 + lo);
        }
        if (!ok) {
            *why = "binary: is followed by a type number, ':' and pairs of hexadecimal digits";
            return false;
        }
        value->type = t;
        return true;
    }
    *why = "a value is dword:N, string:\"TEXT\" or binary:TYPE:HEX";
    return false;
}

// The names of the key path "a\b\c", each decoded.
bool DecodePath(const std::string& text, std::string* path) {
    path->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\\', start);
        if (end == std::string::npos) end = text.size();
        std::string name;
        if (!DecodeName(text.substr(start, end - start), &name)) return false;
        if (!path->empty()) *path += '\\';
        *path += name;
        start = end + 1;
    }
    return true;
}

long ReadKey(HKEY key, const std::string& relative, std::vector<RegFileKey>* keys) {
    RegFileKey entry;
    entry.path = relative;
    std::vector<char> name(16384);
    for (uint32_t i = 0;; i++) {
        uint32_t nameSize = (uint32_t)name.size();
        long status = RegEnumValueA(key, i, name.data(), &nameSize, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return status;
        RegFileValue value;
        value.name.assign(name.data(), nameSize);
        uint32_t size = 0;
        status = RegQueryValueExA(key, value.name.c_str(), nullptr, &value.type, nullptr, &size);
        if (status != ERROR_SUCCESS) return status;
        value.data.resize(size);
        status = RegQueryValueExA(key, value.name.c_str(), nullptr, &value.type,
                                  (uint8_t*)value.data.data(), &size);
        if (status != ERROR_SUCCESS) return status;
        value.data.resize(size);
        entry.values.push_back(value);
    }
    if (!relative.empty() || !entry.values.empty()) keys->push_back(entry);
    std::vector<std::string> subKeys;
    long status = RegEnumKeyNames(key, &subKeys);
    if (status != ERROR_SUCCESS) return status;
    for (const std::string& sub : subKeys) {
        HKEY child = nullptr;
        status = RegOpenKeyExA(key, sub.c_str(), 0, KEY_READ, &child);
        if (status != ERROR_SUCCESS) return status;
        status = ReadKey(child, relative.empty() ? sub : relative + "\\" + sub, keys);
        RegCloseKey(child);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

long ApplyKeys(const std::string& appPath, const std::vector<RegFileKey>& keys, bool replace,
               std::string* what) {
    if (replace) {
        std::set<std::string> groups;
        for (const RegFileKey& key : keys)
            if (!key.path.empty()) groups.insert(key.path.substr(0, key.path.find('\\')));
        for (const std::string& group : groups) {
            long status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, (appPath + "\\" + group).c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                *what = group;
                return status;
            }
        }
    }
    for (const RegFileKey& key : keys) {
        HKEY handle = nullptr;
        uint32_t disposition = 0;
        std::string full = key.path.empty() ? appPath : appPath + "\\" + key.path;
        *what = key.path;
        long status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, "", 0, KEY_ALL_ACCESS,
                                      nullptr, &handle, &disposition);
        if (status != ERROR_SUCCESS) return status;
        for (const RegFileValue& value : key.values) {
            *what = key.path + "\\" + value.name;
            status = RegSetValueExA(handle, value.name.c_str(), 0, value.type,
                                    (const uint8_t*)value.data.data(), (uint32_t)value.data.size());
            if (status != ERROR_SUCCESS) break;
        }
        RegCloseKey(handle);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

} // namespace

std::string RegFileWrite(const std::vector<RegFileKey>& keys) {
    std::string out =
        "# Brindlex configuration store, written by brindlex-reg export.\n"
        "# [KEY] below SOFTWARE\\Quennel\\Brindlex; NAME = dword:N | string:\"TEXT\" | "
        "binary:TYPE:HEX\n";
    for (const RegFileKey& key : keys) {
        std::string path;
        size_t start = 0;
        while (start <= key.path.size()) {
            size_t end = key.path.find('\\', start);
            if (end == std::string::npos) end = key.path.size();
            if (start > 0) path += '\\';
            path += EncodeName(key.path.substr(start, end - start));
            start = end + 1;
        }
        out += "\n[" + path + "]\n";
        for (const RegFileValue& value : key.values) {
            out += EncodeName(value.name) + " = ";
            uint32_t dword;
            if (value.type == REG_DWORD && value.data.size() == 4) {
                memcpy(&dword, value.data.data(), 4);
                out += "dword:" + std::to_string(dword);
            } else if (PlainString(value)) {
                out += "string:" + QuoteString(value.data.substr(0, value.data.size() - 1));
            } else {
                out += "binary:" + std::to_string(value.type) + ":";
                for (unsigned char c : value.data) {
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                }
            }
            out += "\n";
        }
    }
    return out;
}

int RegFileParse(const std::string& text, std::vector<RegFileKey>* keys, int* line,
                 std::string* why) {
    keys->clear();
    std::set<std::string> seenKeys;
    size_t start = 0;
    *line = 0;
    auto fail = [why](const std::string& text) {
        *why = text;
        return 0;
    };
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string raw = Trim(text.substr(start, end - start));
        start = end + 1;
        ++*line;
        if (raw.empty() || raw[0] == '#') continue;
        if (raw[0] == '[') {
            if (raw.back() != ']') return fail("a key line is [KEY]");
            RegFileKey key;
            key.line = *line;
            std::string inner = raw.substr(1, raw.size() - 2);
            if (!inner.empty() && !DecodePath(inner, &key.path))
                return fail("a key name is empty or holds a byte not written as %HH");
            std::string folded = key.path;
            AsciiLowerAll(folded.data());
            if (!seenKeys.insert(folded).second) return fail("the key [" + inner + "] comes twice");
            keys->push_back(key);
            continue;
        }
        if (keys->empty()) return fail("a value comes before the first [KEY]");
        size_t equals = raw.find('=');
        if (equals == std::string::npos) return fail("a value line is NAME = TYPE:VALUE");
        RegFileValue value;
        value.line = *line;
        if (!DecodeName(Trim(raw.substr(0, equals)), &value.name))
            return fail("a value name is empty or holds a byte not written as %HH");
        if (!ParseValue(Trim(raw.substr(equals + 1)), &value, why)) return 0;
        for (const RegFileValue& other : keys->back().values)
            if (AsciiCompareNoCase(other.name.c_str(), value.name.c_str()) == 0)
                return fail("the value " + value.name + " comes twice in its key");
        keys->back().values.push_back(value);
    }
    *line = 0;
    return 1;
}

long RegFileRead(const std::string& appPath, const std::string& fullPath,
                 std::vector<RegFileKey>* keys) {
    keys->clear();
    HKEY key = nullptr;
    long status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, fullPath.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    std::string relative =
        fullPath.size() > appPath.size() ? fullPath.substr(appPath.size() + 1) : "";
    // One snapshot: a save made meanwhile is in the file whole or not at all.
    status = RegBeginRead();
    if (status == ERROR_SUCCESS) {
        status = ReadKey(key, relative, keys);
        long ended = RegEndTransaction(1);
        if (status == ERROR_SUCCESS) status = ended;
    }
    RegCloseKey(key);
    return status;
}

long RegFileApply(const std::string& appPath, const std::vector<RegFileKey>& keys, bool replace,
                  std::string* what) {
    long status = RegBeginTransaction();
    if (status != ERROR_SUCCESS) return status;
    status = ApplyKeys(appPath, keys, replace, what);
    long ended = RegEndTransaction(status == ERROR_SUCCESS);
    return status == ERROR_SUCCESS ? ended : status;
}
