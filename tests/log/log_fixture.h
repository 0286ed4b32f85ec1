// Shared set-up of the log tests: a fresh temporary log directory, logging on,
// a fixed clock (6 December 2006, 14:03:27 local time), and readers for the
// files the writer produces.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

#include "test_support.h"

// "YYYY-MM-DD hh:mm:ss" in local time.
inline time_t LocalTime(const char* text) {
    struct tm t {};
    strptime(text, "%Y-%m-%d %H:%M:%S", &t);
    t.tm_isdst = -1;
    return mktime(&t);
}

inline std::atomic<time_t> testNow{0};
inline time_t TestClock() {
    return testNow.load();
}

// The record LogShutdown writes last while the writer runs.
inline const std::string shutdownRecord =
    "I  12/06 14:03:27 server LogShutdown: Waiting for thread to exit.";

struct LogTest : ::testing::Test {
    bxtest::TempDir temp{"bx-log"};
    std::filesystem::path dir = temp.path;

    void SetUp() override {
        SetDir(dir.string());
        logEnable = 1;
        logSync = 0;
        logSize = 0;
        testNow = LocalTime("2006-12-06 14:03:27");
        LogSetClock(TestClock);
    }

    void TearDown() override {
        LogShutdown();
        LogSetClock(nullptr);
        LogSetBufferLimit(0);
        logEnable = 0;
        logSync = 0;
        logSize = 0;
        SetDir(".");
    }

    static void SetDir(const std::string& path) {
        snprintf(logDir, sizeof logDir, "%s", path.c_str());
    }

    std::string Read(const std::string& name) const { return bxtest::ReadFile(dir / name); }
    bool Exists(const std::string& name) const { return std::filesystem::exists(dir / name); }
    void Write(const std::string& name, const std::string& text) const {
        bxtest::WriteFile(dir / name, text);
    }

    // Records of a file, each without its CR LF; a trailing piece without
    // CR LF is returned as a line of its own so tests see it.
    std::vector<std::string> Lines(const std::string& name) const {
        std::string text = Read(name);
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(text.substr(start, end - start));
        if (start < text.size()) lines.push_back(text.substr(start) + "<no CR LF>");
        return lines;
    }

    // The records of a file compared one by one with expected.
    void ExpectLines(const std::string& name, const std::vector<std::string>& expected) const {
        std::vector<std::string> lines = Lines(name);
        for (size_t i = 0; i < std::max(lines.size(), expected.size()); ++i)
            EXPECT_EQ(i < lines.size() ? lines[i] : "<missing>",
                      i < expected.size() ? expected[i] : "<none>")
                << name << " record " << i;
    }
};
