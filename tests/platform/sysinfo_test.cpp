// What the start-up records report about the system: os-release values are
// read with their quotes and escapes removed, and a missing file leaves them
// empty without failing the kernel part.
#include <gtest/gtest.h>

#include "platform/sysinfo.h"
#include "test_support.h"

TEST(SysInfo, ReadsQuotedAndPlainOsReleaseValuesAndSurvivesAMissingFile) {
    bxtest::TempDir dir("bx-osrel");
    bxtest::WriteFile(dir.path + "/os-release",
                      "# comment\nNAME=\"Debian GNU/Linux\"\nPRETTY_NAME='Debian 12 \\\"x\\\"'\n"
                      "VERSION_ID=12\nVERSION=\"12 (bookworm)\"\nBROKEN LINE\n");
    SysInfo info;
    ASSERT_EQ(SysInfoRead(&info, (dir.path + "/os-release").c_str()), 1);
    EXPECT_EQ(info.osName, "Debian GNU/Linux");
    EXPECT_EQ(info.osPrettyName, "Debian 12 \"x\"");
    EXPECT_EQ(info.osVersionId, "12");
    EXPECT_EQ(info.osVersion, "12 (bookworm)");
    SysInfo missing;
    ASSERT_EQ(SysInfoRead(&missing, (dir.path + "/none").c_str()), 1);
    EXPECT_TRUE(missing.osPrettyName.empty());
    EXPECT_EQ(missing.kernelName, "Linux");
    EXPECT_FALSE(missing.kernelRelease.empty());
}
