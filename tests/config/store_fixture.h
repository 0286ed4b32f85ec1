// Shared set-up of the store tests: each case gets its own machine directory
// (BRINDLEX_ROOT) with a fresh store, logging into a directory of its own,
// settings and accounts back at their start values; and small readers and
// writers for the store.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstring>
#include <memory>

#include "test_support.h"

#include "config/config.h"
#include "config/users.h"
#include "platform/store.h"
#include "users_versions.h"

using bxtest::ReadFile;

struct StoreTest : ::testing::Test {
    bxtest::TempDir temp{"bx-store"};
    std::filesystem::path root = temp.path;
    std::unique_ptr<bxtest::LogCapture> log;

    void SetUp() override {
        std::filesystem::create_directories(root / "log");
        setenv("BRINDLEX_ROOT", root.c_str(), 1);
        RegCloseStore();
        log = std::make_unique<bxtest::LogCapture>((root / "log").string(), "test", true);
        systemSettings = {1, 0, 21};
        displaySettings = {0, 0};
        workDir[0] = 0;
        userList.accounts.clear();
    }

    void TearDown() override {
        CloseRegApp();
        RegCloseStore();
        log.reset();
    }

    // Runs calls between an opening of the application key and its closing.
    template <typename Calls> static void WithApp(Calls calls, const char* name = "Brindlex") {
        ASSERT_EQ(1, OpenRegApp(name));
        calls();
        CloseRegApp();
    }

    // Path below the application key, e.g. "System".
    static std::string App(const std::string& path) {
        return std::string("SOFTWARE\\Quennel\\Brindlex") + (path.empty() ? "" : "\\" + path);
    }

    static void Set(const std::string& path, const char* name, uint32_t type, const void* data,
                    uint32_t size) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, App(path).c_str(), 0, "", 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, (const uint8_t*)data, size));
        RegCloseKey(key);
    }
    static void SetDword(const std::string& path, const char* name, uint32_t value) {
        Set(path, name, REG_DWORD, &value, 4);
    }
    static void SetString(const std::string& path, const char* name, const std::string& text) {
        Set(path, name, REG_SZ, text.c_str(), (uint32_t)text.size() + 1);
    }

    // A DWORD below the application key, or -1 when it cannot be read.
    static int64_t GetDword(const std::string& path, const char* name) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, App(path).c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return -1;
        uint32_t value = 0, size = 4, type = 0;
        long status = RegQueryValueExA(key, name, nullptr, &type, (uint8_t*)&value, &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS && type == REG_DWORD ? (int64_t)value : -1;
    }

    // Everything below a key, one line per key and value, in enumeration
    // order; "<none>" when there is no such key.
    static std::string DumpPath(const std::string& path, const std::string& indent = "") {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return "<none>";
        std::string out;
        char name[300];
        uint8_t data[1024];
        for (uint32_t i = 0;; i++) {
            uint32_t nameSize = sizeof name, dataSize = sizeof data, type = 0;
            if (RegEnumValueA(key, i, name, &nameSize, &type, data, &dataSize) != ERROR_SUCCESS)
                break;
            out += indent + name + "=" + std::to_string(type) + ":" +
                   std::string((char*)data, dataSize) + "\n";
        }
        for (uint32_t i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; i++)
            out += indent + name + "\\\n" + DumpPath(path + "\\" + name, indent + "  ");
        RegCloseKey(key);
        return out;
    }

    struct ToolRun {
        int status;
        std::string out, err;
    };

    static std::string Quote(const std::string& arg) {
        std::string quoted = "'";
        for (char c : arg)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    }

    // Runs brindlex-reg with args and input on its standard input.
    ToolRun Reg(const std::vector<std::string>& args, const std::string& input = "") const {
        std::string command = Quote(bxtest::BinPath("brindlex-reg"));
        for (const std::string& arg : args)
            command += " " + Quote(arg);
        std::filesystem::path in = root / "in", out = root / "out", err = root / "err";
        bxtest::WriteFile(in, input);
        command += " <" + Quote(in) + " >" + Quote(out) + " 2>" + Quote(err);
        int status = system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
    }

    std::string StoreBytes() const { return ReadFile(root / "store.db"); }
};
