// brindlex-reg: the administrator's command-line tool over the configuration
// store. Key paths are relative to the application key
// SOFTWARE\Quennel\Brindlex; "\" and "/" both separate names.
//
// Exit status: 0 done, 1 no such key or value, 2 bad usage or a store error
// (one line on standard error). Usage is checked completely before the store
// is opened, so a bad command line writes nothing.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/store_owner.h"
#include "config/users.h"
#include "ipc/ipc.h"
#include "platform/ascii.h"
#include "platform/fs_measure.h"
#include "platform/store.h"
#include "tools/reg_check.h"
#include "tools/reg_file.h"

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_MISSING = 1;
constexpr int EXIT_ERROR = 2;

const char* const APP_KEY = "SOFTWARE\\Quennel\\Brindlex";

const char* const kUsage =
    "usage: brindlex-reg [--no-notify] [--force] COMMAND ...\n"
    "  set KEY VALUE --dword N      create missing keys, write a DWORD (0 to 4294967295,\n"
    "                               decimal or 0x hexadecimal)\n"
    "  set KEY VALUE --string TEXT  create missing keys, write a string\n"
    "  get KEY VALUE                print the value (a DWORD in decimal)\n"
    "  list [KEY]                   print the subkeys of KEY, one a line as NAME\\,\n"
    "                               then its values, one a line as NAME = VALUE\n"
    "                               (a DWORD in decimal, a string as it is)\n"
    "  delete KEY [VALUE]           delete one value, or a key and all below it\n"
    "  passwd USER                  read a password (one line) from standard input and\n"
    "                               store the account's password value; a missing account\n"
    "                               is created with the default settings\n"
    "  export [KEY]                 print the whole store (or KEY and all below it) as\n"
    "                               text: [KEY] lines, then NAME = dword:N,\n"
    "                               string:\"TEXT\" or binary:TYPE:HEX lines\n"
    "  import [--replace] FILE|-    apply such a text (- = standard input) in one\n"
    "                               transaction; --replace first empties each first-level\n"
    "                               key it names (Users, System, ...); checked like set\n"
    "  quota USER                   measure what the account's Root holds now and print\n"
    "                               Root, Bytes and Files (plain files below Root, links\n"
    "                               not followed), then QuotaMiB and QuotaFiles (0 = none)\n"
    "KEY is relative to SOFTWARE\\Quennel\\Brindlex; \\ and / both separate names.\n"
    "After a set, delete or passwd below System, Log, Display or Users, a running\n"
    "server is told to reload that group (in force within a second); --no-notify\n"
    "leaves it alone. Path changes take effect at the server's next start or SIGHUP.\n"
    "set stores only the keys and values the programs read, with their type and\n"
    "range (a misspelt name is refused with the accepted ones); --force stores\n"
    "anything. get, list and delete never create a store.\n"
    "Exit status: 0 done, 1 no such key or value, 2 bad usage or a store error.\n";

int Usage(const char* message) {
    fprintf(stderr, "brindlex-reg: %s (brindlex-reg --help for usage)\n", message);
    return EXIT_ERROR;
}

int StoreError(const char* what, long status) {
    fprintf(stderr, "brindlex-reg: %s: store error %ld (%s)\n", what, status, StorePath());
    return EXIT_ERROR;
}

// The full key path below HKEY_LOCAL_MACHINE; empty names between separators
// are dropped, so "Users/", "/Users" and "Users\\bob" work as typed.
std::string FullPath(const std::string& key) {
    std::string path = APP_KEY;
    std::string name;
    for (size_t i = 0; i <= key.size(); i++) {
        if (i == key.size() || key[i] == '\\' || key[i] == '/') {
            if (!name.empty()) path += "\\" + name;
            name.clear();
        } else {
            name += key[i];
        }
    }
    return path;
}

bool IsAppKey(const std::string& key) {
    return FullPath(key) == APP_KEY;
}

bool ParseDword(const std::string& text, uint32_t* value) {
    const char* first = text.c_str();
    const char* last = first + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    if (first == last || *first == '+' || *first == '-') return false;
    uint64_t parsed = 0;
    auto [end, error] = std::from_chars(first, last, parsed, base);
    if (error != std::errc() || end != last || parsed > 0xFFFFFFFFull) return false;
    *value = (uint32_t)parsed;
    return true;
}

// Names and strings as list prints them: a control byte (which could move
// the cursor or fake a line of output) becomes {XX}: C0, DEL and C1, whether
// C1 comes as a single byte (0x80-0x9F, a control in 8-bit terminals) or in
// UTF-8 (C2 80 to C2 9F). Other UTF-8 sequences and other bytes stay.
std::string Printable(const std::string& text) {
    std::string out;
    auto escape = [&out](unsigned char c) {
        char escaped[5];
        snprintf(escaped, sizeof escaped, "{%.2X}", c);
        out += escaped;
    };
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = (unsigned char)text[i];
        // The length of a well-formed UTF-8 sequence starting here (1 when
        // there is none).
        size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 1;
        for (size_t k = 1; k < length; k++)
            if (i + k >= text.size() || ((unsigned char)text[i + k] & 0xC0) != 0x80) length = 1;
        if (length > 1) {
            if (c == 0xC2 && (unsigned char)text[i + 1] < 0xA0) {
                escape(c);
                escape((unsigned char)text[i + 1]);
            } else {
                out.append(text, i, length);
            }
            i += length - 1;
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            escape(c);
        } else {
            out += (char)c;
        }
    }
    return out;
}

// Status of the store mapped to the exit status, with the message.
int Fail(const char* what, long status) {
    if (status == ERROR_FILE_NOT_FOUND) {
        fprintf(stderr, "brindlex-reg: %s: not found\n", what);
        return EXIT_MISSING;
    }
    return StoreError(what, status);
}

int OpenKey(const std::string& key, HKEY* result) {
    long status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, FullPath(key).c_str(), 0, KEY_READ, result);
    return status == ERROR_SUCCESS ? EXIT_DONE
                                   : Fail(IsAppKey(key) ? APP_KEY : key.c_str(), status);
}

// The value as the tool prints it; 0 or the status of the read.
long ReadValue(HKEY key, const char* name, std::string* text) {
    uint32_t type = 0, size = 0;
    long status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    std::vector<uint8_t> data(size + 1, 0);
    status = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
    if (status != ERROR_SUCCESS) return status;
    if (type == REG_DWORD && size == 4) {
        uint32_t value;
        memcpy(&value, data.data(), 4);
        *text = std::to_string(value);
    } else {
        *text = (const char*)data.data();
    }
    return ERROR_SUCCESS;
}

bool force = false; // --force: store what set is given without checking it

// The key as typed, relative to the application key, "\" between names.
std::string KeyBelowApp(const std::string& key) {
    std::string path = FullPath(key);
    return path.size() > strlen(APP_KEY) ? path.substr(strlen(APP_KEY) + 1) : "";
}

int CmdSet(const std::vector<std::string>& args) {
    if (args.size() != 4) return Usage("set needs KEY VALUE --dword N or --string TEXT");
    uint32_t dword = 0;
    if (args[2] == "--dword") {
        if (!ParseDword(args[3], &dword))
            return Usage("--dword needs a number from 0 to 4294967295");
    } else if (args[2] != "--string") {
        return Usage("set needs --dword or --string");
    }
    std::string problem = SetProblem(KeyBelowApp(args[0]), args[1], args[2] == "--dword", dword,
                                     args[2] == "--string" ? args[3] : "");
    if (!force && !problem.empty()) return Usage(Printable(problem).c_str());
    if (args[2] == "--string") {
        std::string warning = SetWarning(KeyBelowApp(args[0]), args[1], args[3]);
        if (!warning.empty())
            fprintf(stderr, "brindlex-reg: warning: %s\n", Printable(warning).c_str());
    }
    // One transaction: a value that cannot be written leaves no new key behind.
    long status = RegBeginTransaction();
    if (status != ERROR_SUCCESS) return StoreError("set", status);
    HKEY key = nullptr;
    uint32_t disposition = 0;
    status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, FullPath(args[0]).c_str(), 0, "", 0,
                             KEY_ALL_ACCESS, nullptr, &key, &disposition);
    const char* what = args[0].c_str();
    if (status == ERROR_SUCCESS) {
        what = args[1].c_str();
        if (args[2] == "--dword")
            status = RegSetValueExA(key, args[1].c_str(), 0, REG_DWORD, (const uint8_t*)&dword, 4);
        else
            status = RegSetValueExA(key, args[1].c_str(), 0, REG_SZ,
                                    (const uint8_t*)args[3].c_str(), (uint32_t)args[3].size() + 1);
        RegCloseKey(key);
    }
    long ended = RegEndTransaction(status == ERROR_SUCCESS);
    if (status == ERROR_SUCCESS) status = ended;
    return status == ERROR_SUCCESS ? EXIT_DONE : StoreError(Printable(what).c_str(), status);
}

int CmdGet(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("get needs KEY VALUE");
    HKEY key = nullptr;
    int result = OpenKey(args[0], &key);
    if (result != EXIT_DONE) return result;
    std::string text;
    long status = ReadValue(key, args[1].c_str(), &text);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return Fail(args[1].c_str(), status);
    printf("%s\n", text.c_str());
    return EXIT_DONE;
}

int CmdList(const std::vector<std::string>& args) {
    if (args.size() > 1) return Usage("list takes at most one KEY");
    std::string path = args.empty() ? "" : args[0];
    HKEY key = nullptr;
    int result = OpenKey(path, &key);
    if (result != EXIT_DONE) return result;
    char name[16384];
    long status;
    uint32_t i = 0;
    while ((status = RegEnumKeyA(key, i++, name, sizeof name)) == ERROR_SUCCESS)
        printf("%s\\\n", Printable(name).c_str());
    if (status == ERROR_NO_MORE_ITEMS) {
        i = 0;
        while (true) {
            uint32_t nameSize = sizeof name;
            status = RegEnumValueA(key, i++, name, &nameSize, nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS) break;
            std::string text;
            status = ReadValue(key, name, &text);
            if (status != ERROR_SUCCESS) break;
            printf("%s = %s\n", Printable(name).c_str(), Printable(text).c_str());
        }
    }
    RegCloseKey(key);
    return status == ERROR_NO_MORE_ITEMS ? EXIT_DONE : StoreError(path.c_str(), status);
}

int CmdDelete(const std::vector<std::string>& args) {
    if (args.empty() || args.size() > 2) return Usage("delete needs KEY [VALUE]");
    if (args.size() == 1) {
        if (IsAppKey(args[0])) return Usage("delete needs a KEY below the application key");
        long status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, FullPath(args[0]).c_str());
        return status == ERROR_SUCCESS ? EXIT_DONE : Fail(args[0].c_str(), status);
    }
    HKEY key = nullptr;
    int result = OpenKey(args[0], &key);
    if (result != EXIT_DONE) return result;
    long status = RegDeleteValueA(key, args[1].c_str());
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? EXIT_DONE : Fail(args[1].c_str(), status);
}

// A user name as the settings dialog accepts it: a letter first, then
// letters, digits, ".", "-" and "_", at most 64 characters; lower case.
bool ValidUserName(std::string* name) {
    AsciiLowerAll(name->data());
    if (name->empty() || name->size() > (size_t)USER_NAME_MAX) return false;
    if ((*name)[0] < 'a' || (*name)[0] > 'z') return false;
    return name->find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_") == std::string::npos;
}

// Leading and trailing blanks go, as in the settings dialog. A login takes at
// most 16 printable ASCII characters, so anything else could never be typed
// at login and is refused.
const char* PasswordProblem(std::string* password) {
    size_t first = password->find_first_not_of(' ');
    size_t last = password->find_last_not_of(' ');
    *password = first == std::string::npos ? "" : password->substr(first, last - first + 1);
    if (password->empty()) return "the password is empty";
    if (password->size() > (size_t)USER_PASSWORD_MAX)
        return "the password is longer than 16 characters";
    for (char c : *password)
        if ((unsigned char)c < 32 || (unsigned char)c > 126)
            return "the password holds a character a login cannot send";
    return nullptr;
}

// Writes the values an account lacks with the defaults a load would give
// them ("Home" = "Root", as the settings dialog does), then "PW".
long WriteAccount(HKEY key, const std::string& name, const char* PW) {
    UserAccount defaults;
    UserAccountDefaults(&defaults, name.c_str());
    auto missing = [&](const char* value) {
        return RegQueryValueExA(key, value, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_FILE_NOT_FOUND;
    };
    long status = ERROR_SUCCESS;
    auto setString = [&](const char* value, const std::string& text) {
        if (status == ERROR_SUCCESS)
            status = RegSetValueExA(key, value, 0, REG_SZ, (const uint8_t*)text.c_str(),
                                    (uint32_t)text.size() + 1);
    };
    auto setFlag = [&](const char* value, bool on) {
        uint32_t dword = on ? 1 : 0;
        if (status == ERROR_SUCCESS && missing(value))
            status = RegSetValueExA(key, value, 0, REG_DWORD, (const uint8_t*)&dword, 4);
    };
    std::string root;
    uint32_t size = 0;
    if (RegQueryValueExA(key, "Root", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<uint8_t> data(size + 1, 0);
        if (RegQueryValueExA(key, "Root", nullptr, nullptr, data.data(), &size) == ERROR_SUCCESS)
            root = (const char*)data.data();
    } else {
        setString("Root", "");
    }
    if (missing("Home")) setString("Home", root);
    setFlag("Anonymous", defaults.accountFlags & ACCOUNT_ANONYMOUS);
    setFlag("Enable", defaults.accountFlags & ACCOUNT_ENABLE);
    setFlag("MaxConn", false);
    setFlag("Restrict", defaults.accountFlags & ACCOUNT_RESTRICT);
    setFlag("Recurse", defaults.permissions & PERM_RECURSE);
    setFlag("Create", defaults.permissions & PERM_CREATE);
    setFlag("DeleteDir", defaults.permissions & PERM_DELETEDIR);
    setFlag("List", defaults.permissions & PERM_LIST);
    setFlag("Get", defaults.permissions & PERM_GET);
    setFlag("Put", defaults.permissions & PERM_PUT);
    setFlag("DeleteFile", defaults.permissions & PERM_DELETEFILE);
    setString("PW", PW);
    if (status == ERROR_SUCCESS && root.empty())
        fprintf(stderr, "brindlex-reg: warning: account %s has no Root yet\n", name.c_str());
    return status;
}

int CmdPasswd(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage("passwd needs USER");
    std::string name = args[0];
    if (!ValidUserName(&name))
        return Usage(
            "a user name is a letter followed by letters, digits, '.', '-' or '_', at most 64");
    std::string password;
    if (!std::getline(std::cin, password) && password.empty())
        return Usage("no password on standard input");
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        password.pop_back();
    if (const char* problem = PasswordProblem(&password)) return Usage(problem);

    char PW[USER_PW_LEN + 1];
    MakePasswordDigest(name.c_str(), password.c_str(), PW);
    long status = RegBeginTransaction();
    if (status != ERROR_SUCCESS) return StoreError("passwd", status);
    HKEY key = nullptr;
    uint32_t disposition = 0;
    status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, FullPath("Users\\" + name).c_str(), 0, "", 0,
                             KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (status == ERROR_SUCCESS) {
        status = WriteAccount(key, name, PW);
        RegCloseKey(key);
    }
    long ended = RegEndTransaction(status == ERROR_SUCCESS);
    if (status == ERROR_SUCCESS) status = ended;
    return status == ERROR_SUCCESS ? EXIT_DONE : StoreError(name.c_str(), status);
}

int CmdExport(const std::vector<std::string>& args) {
    if (args.size() > 1) return Usage("export takes at most one KEY");
    std::string path = args.empty() ? "" : args[0];
    std::vector<RegFileKey> keys;
    long status = RegFileRead(APP_KEY, FullPath(path), &keys);
    if (status != ERROR_SUCCESS) return Fail(IsAppKey(path) ? APP_KEY : path.c_str(), status);
    std::string text = RegFileWrite(keys);
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
        fprintf(stderr, "brindlex-reg: export: cannot write the output\n");
        return EXIT_ERROR;
    }
    return EXIT_DONE;
}

// The first-level keys an import changed, for the change messages.
std::set<std::string> importedGroups;

int CmdImport(const std::vector<std::string>& args) {
    bool replace = !args.empty() && args[0] == "--replace";
    if (args.size() != (replace ? 2u : 1u)) return Usage("import needs [--replace] FILE or -");
    const std::string& file = args.back();
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            fprintf(stderr, "brindlex-reg: import: cannot read %s\n", file.c_str());
            return EXIT_ERROR;
        }
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    const char* shown = file == "-" ? "standard input" : file.c_str();
    std::vector<RegFileKey> keys;
    int line = 0;
    std::string why;
    auto refuse = [shown](int line, const std::string& why) {
        fprintf(stderr, "brindlex-reg: %s line %d: %s; nothing was imported\n", shown, line,
                Printable(why).c_str());
        return EXIT_ERROR;
    };
    if (!RegFileParse(text, &keys, &line, &why)) return refuse(line, why);
    // Checked like set, before anything is written.
    for (const RegFileKey& key : keys) {
        for (const RegFileValue& value : key.values) {
            if (force) continue;
            bool isDword = value.type == REG_DWORD && value.data.size() == 4;
            if (!isDword && value.type != REG_SZ)
                return refuse(value.line, key.path + "\\" + value.name +
                                              " is not a DWORD or a string (--force imports it)");
            uint32_t number = 0;
            if (isDword) memcpy(&number, value.data.data(), 4);
            std::string string = isDword ? "" : value.data.substr(0, value.data.find('\0'));
            std::string problem = SetProblem(key.path, value.name, isDword, number, string);
            if (!problem.empty()) return refuse(value.line, problem);
        }
    }
    std::string what;
    long status = RegFileApply(APP_KEY, keys, replace, &what);
    if (status != ERROR_SUCCESS) return StoreError(Printable(what).c_str(), status);
    for (const RegFileKey& key : keys)
        importedGroups.insert(key.path);
    return EXIT_DONE;
}

// What the server's quota counts for an account, measured now as the
// server measures it at the account's first login after a reload.
int CmdQuota(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage("quota needs USER");
    std::string name = args[0];
    AsciiLowerAll(name.data());
    HKEY key = nullptr;
    int result = OpenKey("Users\\" + name, &key);
    if (result != EXIT_DONE) return result;
    std::string root, quotaMiB = "0", quotaFiles = "0";
    long status = ReadValue(key, "Root", &root);
    ReadValue(key, "QuotaMiB", &quotaMiB);
    ReadValue(key, "QuotaFiles", &quotaFiles);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return Fail((name + "\\Root").c_str(), status);
    if (root.empty()) {
        fprintf(stderr, "brindlex-reg: account %s has no Root\n", name.c_str());
        return EXIT_MISSING;
    }
    uint64_t bytes = 0, files = 0;
    if (!FsMeasureTree(root.c_str(), &bytes, &files)) {
        fprintf(stderr, "brindlex-reg: cannot read %s\n", Printable(root).c_str());
        return EXIT_ERROR;
    }
    printf("Root = %s\nBytes = %llu\nFiles = %llu\nQuotaMiB = %s\nQuotaFiles = %s\n",
           Printable(root).c_str(), (unsigned long long)bytes, (unsigned long long)files,
           quotaMiB.c_str(), quotaFiles.c_str());
    return EXIT_DONE;
}

// The change message of the settings group a key path lies in (its first
// name), or -1 for a key no running server reloads on a message.
int ChangeMessage(const std::string& key) {
    std::string path = FullPath(key);
    if (path.size() <= strlen(APP_KEY)) return -1;
    std::string group = path.substr(strlen(APP_KEY) + 1);
    group = group.substr(0, group.find('\\'));
    AsciiLowerAll(group.data());
    if (group == "system") return IPC_MSG_SYSTEM_CHANGED;
    if (group == "log") return IPC_MSG_LOGGING_CHANGED;
    if (group == "display") return IPC_MSG_DISPLAY_CHANGED;
    if (group == "users") return IPC_MSG_USERS_CHANGED;
    return -1;
}

// After a successful change: the running server reloads the group, as after
// the administration window's Apply. No server: nothing is sent or printed.
void NotifyServer(const std::string& command, const std::vector<std::string>& args) {
    int type = -1;
    if (command == "passwd")
        type = IPC_MSG_USERS_CHANGED;
    else if ((command == "set" || command == "delete") && !args.empty())
        type = ChangeMessage(args[0]);
    if (command == "import") {
        std::set<int> types;
        for (const std::string& key : importedGroups)
            if (ChangeMessage(key) >= 0) types.insert(ChangeMessage(key));
        for (int t : types)
            IpcNotifyServer((uint8_t)t);
    }
    if (type >= 0) IpcNotifyServer((uint8_t)type);
}

} // namespace

int main(int argc, char** argv) {
    int first = 1;
    bool notify = true;
    for (; argc > first; first++) {
        if (strcmp(argv[first], "--no-notify") == 0)
            notify = false;
        else if (strcmp(argv[first], "--force") == 0)
            force = true;
        else
            break;
    }
    if (argc <= first) return Usage("no command");
    std::string command = argv[first];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage, stdout);
        return EXIT_DONE;
    }
    std::vector<std::string> args(argv + first + 1, argv + argc);
    // Root edits a service's store as the service's user.
    std::string note, why;
    if (!ActAsStoreOwner(&note, &why)) {
        fprintf(stderr, "brindlex-reg: cannot act as the store's owner: %s\n", why.c_str());
        return EXIT_ERROR;
    }
    // Reading or deleting needs a store; none is made just to find nothing.
    if ((command == "get" || command == "list" || command == "delete" || command == "export" ||
         command == "quota") &&
        !StoreExists()) {
        fprintf(stderr,
                "brindlex-reg: no store at %s yet: nothing is set (set or passwd creates it)\n",
                StorePath());
        return EXIT_MISSING;
    }
    srand(StoreSeed());
    int result;
    if (command == "set")
        result = CmdSet(args);
    else if (command == "get")
        result = CmdGet(args);
    else if (command == "list")
        result = CmdList(args);
    else if (command == "delete")
        result = CmdDelete(args);
    else if (command == "passwd")
        result = CmdPasswd(args);
    else if (command == "export")
        result = CmdExport(args);
    else if (command == "import")
        result = CmdImport(args);
    else if (command == "quota")
        result = CmdQuota(args);
    else
        result = Usage(("unknown command " + command).c_str());
    RegCloseStore();
    if (result == EXIT_DONE && notify) NotifyServer(command, args);
    return result;
}
