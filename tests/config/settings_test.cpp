// The settings groups: what a first start makes of an empty store, values
// that do not fit their field, and the records of values that cannot be read.
#include "store_fixture.h"

using Settings = StoreTest;

TEST_F(Settings, FirstStartOnAnEmptyStoreMakesTheKeysAndKeepsTheDefaults) {
    logEnable = 0;  // what memory holds at the first load
    SetExtensionsSetting(1);  // a missing "Extensions" loads as 0 whatever memory holds
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    GetRegLog();
    GetRegDisplay();
    GetRegPath();
    GetRegSystem();
    GetRegUsers(&userList);
    GetRegWindow({10, 20, 630, 470});
    CloseRegApp();
    // Every key made, and empty: a load writes no value.
    EXPECT_EQ("Quennel\\\n  Brindlex\\\n    Display\\\n    Log\\\n    Path\\\n"
              "    System\\\n    Users\\\n    Window\\\n",
              DumpPath("SOFTWARE"));
    EXPECT_EQ(21, systemSettings.port);
    EXPECT_EQ(1, systemSettings.serverEnable);
    EXPECT_EQ(0, systemSettings.maxConn);
    EXPECT_EQ(0u, ExtensionsSetting());
    EXPECT_EQ(0u, systemSettings.loginTimeout);  // no limit
    EXPECT_EQ(0u, systemSettings.idleTimeout);
    EXPECT_EQ(1000u, systemSettings.loginFailDelay);
    EXPECT_EQ(0, logEnable);
    EXPECT_STREQ(logDir, (root / "log").c_str());  // a missing "Path" keeps the directory
    EXPECT_EQ(1, logLevelOn[LOG_TRACE4]);
    EXPECT_EQ(0, logLevelOn[LOG_TRACE5]);
    EXPECT_STREQ("", workDir);
    EXPECT_TRUE(userList.accounts.empty());
    EXPECT_EQ(10, windowRect.left);
    EXPECT_EQ(470, windowRect.bottom);
}

TEST_F(Settings, StoredNumbersKeepOnlyTheBitsTheirFieldHolds) {
    SetDword("System", "Port", 65536 + 21);
    SetDword("System", "Enable", 256);
    SetDword("System", "MaxConn", 0x10005);
    SetDword("Window", "Left", 0xFFFFFFF6);
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    GetRegSystem();
    GetRegWindow({0, 0, 800, 600});
    CloseRegApp();
    EXPECT_EQ(21, systemSettings.port);
    EXPECT_EQ(0, systemSettings.serverEnable);
    EXPECT_EQ(5, systemSettings.maxConn);
    EXPECT_EQ(-10, windowRect.left);
    EXPECT_EQ(600, windowRect.bottom);
}

TEST_F(Settings, ValuesOfTheWrongTypeOrSize) {
    SetString("System", "Port", "12345");  // six bytes do not fit a DWORD
    SetString("System", "MaxConn", "ab");  // three bytes are read over the default
    SetString("Path", "Work", std::string(300, 'w'));
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    snprintf(workDir, sizeof workDir, "/old");
    GetRegSystem();
    GetRegPath();
    CloseRegApp();
    EXPECT_EQ(21, systemSettings.port);
    EXPECT_EQ(0x6261, systemSettings.maxConn);
    EXPECT_STREQ("/old", workDir);
    std::string log = LogText();
    EXPECT_EQ(1, Count(log, "Port: error 234 in RegQueryValueEx"));
    EXPECT_EQ(1, Count(log, "Work: error 234 in RegQueryValueEx"));
    EXPECT_EQ(0, Count(log, "MaxConn: error"));
}

TEST_F(Settings, LogSaveRewritesTheTraceSwitches) {
    SetDword("Log", "TRACE0", 0);
    SetDword("Log", "TRACE5", 7);
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    GetRegLog();
    EXPECT_EQ(0, logLevelOn[LOG_TRACE0]);
    EXPECT_EQ(7, logLevelOn[LOG_TRACE5]);
    logSize = 4096;
    SetRegLog();
    CloseRegApp();
    for (const char* name : {"TRACE0", "TRACE1", "TRACE2", "TRACE3", "TRACE4"}) EXPECT_EQ(1, GetDword("Log", name)) << name;
    EXPECT_EQ(0, GetDword("Log", "TRACE5"));
    EXPECT_EQ(4096, GetDword("Log", "Logsize"));
    logSize = 0;
}

TEST_F(Settings, SavedGroupsLoadBackInAnotherOpening) {
    ASSERT_EQ(1, OpenRegApp("Brindlex"));
    systemSettings = {0, 12, 2121};
    SetExtensionsSetting(1);
    systemSettings.loginTimeout = 60;
    systemSettings.idleTimeout = 900;
    systemSettings.loginFailDelay = 0;
    displaySettings = {1, 0};
    windowRect = {-5, 7, 300, 200};
    SetRegSystem();
    SetRegDisplay();
    SetRegWindow();
    CloseRegApp();
    systemSettings = {1, 0, 21};
    displaySettings = {0, 0};
    RegCloseStore();
    ASSERT_EQ(1, OpenRegApp("brindlex"));  // names match without regard to case
    GetRegSystem();
    GetRegDisplay();
    GetRegWindow({0, 0, 1, 1});
    CloseRegApp();
    EXPECT_EQ(2121, systemSettings.port);
    EXPECT_EQ(12, systemSettings.maxConn);
    EXPECT_EQ(0, systemSettings.serverEnable);
    EXPECT_EQ(1u, ExtensionsSetting()) << "the extensions switch is saved and loaded with the group";
    EXPECT_EQ(60u, systemSettings.loginTimeout);
    EXPECT_EQ(900u, systemSettings.idleTimeout);
    EXPECT_EQ(0u, systemSettings.loginFailDelay);  // 0 stored is not the missing default
    EXPECT_EQ(1, displaySettings.hideInitially);
    EXPECT_EQ(-5, windowRect.left);
    EXPECT_EQ(200, windowRect.bottom);
}

TEST_F(Settings, GroupsWithoutAnOpenApplicationKeyChangeNothing) {
    CloseRegApp();
    systemSettings.port = 990;
    GetRegSystem();
    SetRegDisplay();
    EXPECT_EQ(990, systemSettings.port);
    EXPECT_EQ("<none>", DumpPath(App("Display")));
    std::string log = LogText();
    EXPECT_EQ(1, Count(log, "GetRegSystem: error 6 in RegCreateKeyEx"));
    EXPECT_EQ(1, Count(log, "SetRegDisplay: error 6 in RegCreateKeyEx"));
}
