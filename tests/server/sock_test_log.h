// Logging into a temporary directory for one test, with the text written so
// far, so that tests can check the records the code under test writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/log.h"

class LogCapture {
public:
    LogCapture() {
        char pattern[] = "/tmp/bx-logcap-XXXXXX";
        const char* dir = mkdtemp(pattern);
        if (dir) dir_ = dir;
        snprintf(logDir, sizeof logDir, "%s", dir_.c_str());
        logEnable = 1;
        LogStartup("server ");
    }
    ~LogCapture() {
        LogShutdown();
        logEnable = 0;
        snprintf(logDir, sizeof logDir, ".");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // Everything logged so far.
    std::string Text() const {
        LogFlush();
        std::string text;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            text += ss.str();
        }
        return text;
    }
    // Number of records containing piece.
    int Count(const std::string& piece) const {
        std::string text = Text();
        int n = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) n++;
        return n;
    }

private:
    std::string dir_;
};
