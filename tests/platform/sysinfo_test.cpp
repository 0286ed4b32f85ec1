// What the start-up records report about the system: os-release values are
// read with their quotes and escapes removed, and a missing file leaves them
// empty without failing the kernel part.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/sysinfo.h"

namespace {
std::string WriteTemp(const std::string& content) {
    char path[] = "/tmp/bx-osrel-XXXXXX";
    int fd = mkstemp(path);
    FILE* f = fdopen(fd, "w");
    fputs(content.c_str(), f);
    fclose(f);
    return path;
}
}  // namespace

TEST(SysInfo, ParsesQuotedAndPlainOsReleaseValues) {
    std::string path = WriteTemp(
        "# comment\nNAME=\"Debian GNU/Linux\"\nPRETTY_NAME='Debian 12 \\\"x\\\"'\n"
        "VERSION_ID=12\nVERSION=\"12 (bookworm)\"\nBROKEN LINE\n");
    SysInfo info;
    ASSERT_EQ(SysInfoRead(&info, path.c_str()), 1);
    EXPECT_EQ(info.osName, "Debian GNU/Linux");
    EXPECT_EQ(info.osPrettyName, "Debian 12 \"x\"");
    EXPECT_EQ(info.osVersionId, "12");
    EXPECT_EQ(info.osVersion, "12 (bookworm)");
    EXPECT_FALSE(info.kernelRelease.empty());
    remove(path.c_str());
}

TEST(SysInfo, MissingOsReleaseLeavesItsValuesEmpty) {
    SysInfo info;
    ASSERT_EQ(SysInfoRead(&info, "/nonexistent/os-release"), 1);
    EXPECT_TRUE(info.osPrettyName.empty());
    EXPECT_EQ(info.kernelName, "Linux");
}
