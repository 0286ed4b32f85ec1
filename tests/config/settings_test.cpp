// The settings groups: what a first start makes of an empty store, values
// that do not fit their field, and the records of values that cannot be read.
#include "store_fixture.h"

struct Settings : StoreTest {
    // The System group as loaded, one text to compare.
    static std::string SystemText() {
        const SystemSettings& s = systemSettings;
        char text[200];
        snprintf(text, sizeof text, "port %u enable %u maxConn %u extensions %u login %u idle %u failDelay %u",
                 s.port, s.serverEnable, s.maxConn, ExtensionsSetting(), s.loginTimeout, s.idleTimeout,
                 s.loginFailDelay);
        return text;
    }
};

TEST_F(Settings, FirstStartOnAnEmptyStoreMakesTheKeysAndKeepsTheDefaults) {
    logEnable = 0;  // what memory holds at the first load
    SetExtensionsSetting(1);  // a missing "Extensions" loads as 0 whatever memory holds
    WithApp([] {
        GetRegLog();
        GetRegDisplay();
        GetRegPath();
        GetRegSystem();
        GetRegUsers(&userList);
        GetRegWindow({10, 20, 630, 470});
    });
    // Every key made, and empty: a load writes no value.
    EXPECT_EQ("Quennel\\\n  Brindlex\\\n    Display\\\n    Log\\\n    Path\\\n"
              "    System\\\n    Users\\\n    Window\\\n",
              DumpPath("SOFTWARE"));
    // Time-outs 0: no limit.
    EXPECT_EQ("port 21 enable 1 maxConn 0 extensions 0 login 0 idle 0 failDelay 1000", SystemText());
    EXPECT_EQ(0, logEnable);
    EXPECT_STREQ(logDir, (root / "log").c_str());  // a missing "Path" keeps the directory
    EXPECT_EQ(1, logLevelOn[LOG_TRACE4]);
    EXPECT_EQ(0, logLevelOn[LOG_TRACE5]);
    EXPECT_STREQ("", workDir);
    EXPECT_TRUE(userList.accounts.empty());
    EXPECT_EQ(10, windowRect.left);
    EXPECT_EQ(470, windowRect.bottom);
}

TEST_F(Settings, StoredValuesKeepTheBitsTheirFieldHoldsOrAreRefused) {
    SetDword("System", "Enable", 256);
    SetDword("System", "MaxConn", 0x10005);
    SetDword("Window", "Left", 0xFFFFFFF6);
    SetString("System", "Port", "12345");  // six bytes do not fit a DWORD
    SetString("Path", "Work", std::string(300, 'w'));
    snprintf(workDir, sizeof workDir, "/old");
    WithApp([] {
        GetRegSystem();
        GetRegPath();
        GetRegWindow({0, 0, 800, 600});
    });
    EXPECT_EQ("port 21 enable 0 maxConn 5 extensions 0 login 0 idle 0 failDelay 1000", SystemText());
    EXPECT_EQ(-10, windowRect.left);
    EXPECT_EQ(600, windowRect.bottom);
    EXPECT_STREQ("/old", workDir);
    SetDword("System", "Port", 65536 + 21);
    SetString("System", "MaxConn", "ab");  // three bytes are read over the default
    WithApp([] { GetRegSystem(); });
    EXPECT_EQ(21, systemSettings.port);
    EXPECT_EQ(0x6261, systemSettings.maxConn);
    std::string log = LogText();
    EXPECT_EQ(1, Count(log, "Port: error 234 in RegQueryValueEx"));
    EXPECT_EQ(1, Count(log, "Work: error 234 in RegQueryValueEx"));
    EXPECT_EQ(0, Count(log, "MaxConn: error"));
}

TEST_F(Settings, LogSaveRewritesTheTraceSwitches) {
    SetDword("Log", "TRACE0", 0);
    SetDword("Log", "TRACE5", 7);
    WithApp([] {
        GetRegLog();
        EXPECT_EQ(0, logLevelOn[LOG_TRACE0]);
        EXPECT_EQ(7, logLevelOn[LOG_TRACE5]);
        logSize = 4096;
        SetRegLog();
    });
    for (const char* name : {"TRACE0", "TRACE1", "TRACE2", "TRACE3", "TRACE4"}) EXPECT_EQ(1, GetDword("Log", name)) << name;
    EXPECT_EQ(0, GetDword("Log", "TRACE5"));
    EXPECT_EQ(4096, GetDword("Log", "Logsize"));
    logSize = 0;
}

TEST_F(Settings, SavedGroupsLoadBackInAnotherOpening) {
    systemSettings = {0, 12, 2121};
    SetExtensionsSetting(1);
    systemSettings.loginTimeout = 60;
    systemSettings.idleTimeout = 900;
    systemSettings.loginFailDelay = 0;
    displaySettings = {1, 0};
    windowRect = {-5, 7, 300, 200};
    WithApp([] {
        SetRegSystem();
        SetRegDisplay();
        SetRegWindow();
    });
    systemSettings = {1, 0, 21};
    displaySettings = {0, 0};
    SetExtensionsSetting(0);
    RegCloseStore();
    WithApp([] {
        GetRegSystem();
        GetRegDisplay();
        GetRegWindow({0, 0, 1, 1});
    }, "brindlex");  // names match without regard to case
    // A stored delay of 0 is not the missing default.
    EXPECT_EQ("port 2121 enable 0 maxConn 12 extensions 1 login 60 idle 900 failDelay 0", SystemText());
    EXPECT_EQ(1, displaySettings.hideInitially);
    EXPECT_EQ(-5, windowRect.left);
    EXPECT_EQ(200, windowRect.bottom);
}

// A load without the key is in StoreCalls.UnusableFilesAreLeftUntouched.
TEST_F(Settings, SaveWithoutAnOpenApplicationKeyWritesNothing) {
    CloseRegApp();
    SetRegDisplay();
    EXPECT_EQ("<none>", DumpPath(App("Display")));
    EXPECT_EQ(1, Count(LogText(), "SetRegDisplay: error 6 in RegCreateKeyEx"));
}
