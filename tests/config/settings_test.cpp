// The settings groups: what a first start makes of an empty store, values
// that do not fit their field, the records of values that cannot be read, and
// the System values PassivePorts and PassiveAddress as a load reads them.
#include "store_fixture.h"

struct Settings : StoreTest {
    // The System group as loaded, one text to compare.
    static std::string SystemText() {
        const SystemSettings& s = systemSettings;
        char text[200];
        snprintf(text, sizeof text,
                 "port %u enable %u maxConn %u extensions %u login %u idle %u failDelay %u", s.port,
                 s.serverEnable, s.maxConn, ExtensionsSetting(), s.loginTimeout, s.idleTimeout,
                 s.loginFailDelay);
        return text;
    }
};

using PassiveValues = StoreTest;

// A first start on an empty store makes every key and writes no value; a
// missing value keeps what memory holds or takes its default. What is saved
// loads back in another opening.
TEST_F(Settings, FirstStartMakesEmptyKeysAndSavedGroupsLoadBack) {
    logEnable = 0;
    SetExtensionsSetting(1); // a missing "Extensions" loads as 0 whatever memory holds
    auto load = [] {
        GetRegLog();
        GetRegDisplay();
        GetRegPath();
        GetRegSystem();
        GetRegUsers(&userList);
        GetRegWindow({10, 20, 630, 470});
    };
    WithApp(load);
    EXPECT_EQ("Quennel\\\n  Brindlex\\\n    Display\\\n    Log\\\n    Path\\\n"
              "    System\\\n    Users\\\n    Window\\\n",
              DumpPath("SOFTWARE"));
    // Time-outs 0: no limit.
    EXPECT_EQ("port 21 enable 1 maxConn 0 extensions 0 login 0 idle 0 failDelay 1000",
              SystemText());
    EXPECT_EQ(0, logEnable);
    EXPECT_STREQ(logDir, (root / "log").c_str()); // a missing "Path" keeps the directory
    EXPECT_EQ(1, logLevelOn[LOG_TRACE4]);
    EXPECT_EQ(0, logLevelOn[LOG_TRACE5]);
    EXPECT_EQ(470, windowRect.bottom);

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
    WithApp(load, "brindlex"); // names match without regard to case
    // A stored delay of 0 is not the missing default.
    EXPECT_EQ("port 2121 enable 0 maxConn 12 extensions 1 login 60 idle 900 failDelay 0",
              SystemText());
    EXPECT_EQ(1, displaySettings.hideInitially);
    EXPECT_EQ(-5, windowRect.left);
    EXPECT_EQ(200, windowRect.bottom);
}

// A System value the server cannot use is logged with what is used instead
// (its default); the other values of the group still load. The window's
// position keeps the bits of its field; a too long Work keeps memory's.
TEST_F(Settings, UnusableSystemValuesAreLoggedAndTheDefaultIsUsed) {
    SetDword("System", "Enable", 256);
    SetDword("System", "MaxConn", 0x10005);
    SetDword("System", "Extensions", 1);
    SetDword("Window", "Left", 0xFFFFFFF6);
    SetString("System", "Port", "2121"); // a string, even one that fits four bytes
    SetString("Path", "Work", std::string(300, 'w'));
    snprintf(workDir, sizeof workDir, "/old");
    WithApp([] {
        GetRegSystem();
        GetRegPath();
        GetRegWindow({0, 0, 800, 600});
    });
    EXPECT_EQ("port 21 enable 1 maxConn 0 extensions 1 login 0 idle 0 failDelay 1000",
              SystemText());
    EXPECT_EQ(1, log->Count("GetRegSystem: System\\Enable 256 is not 0 or 1; 1 is used"));
    EXPECT_EQ(1, log->Count("GetRegSystem: System\\MaxConn 65541 is not 0 to 65535; 0 is used"));
    EXPECT_EQ(1, log->Count("GetRegSystem: System\\Port is not stored as a number; 21 is used"));
    EXPECT_EQ(-10, windowRect.left);
    EXPECT_EQ(600, windowRect.bottom);
    EXPECT_STREQ("/old", workDir);
    EXPECT_EQ(1, log->Count("Work: error 234 in RegQueryValueEx"));
    SetDword("System", "Port", 70000);
    SetDword("System", "Enable", 0);
    WithApp([] { GetRegSystem(); });
    EXPECT_EQ("port 21 enable 0 maxConn 0 extensions 1 login 0 idle 0 failDelay 1000",
              SystemText());
    EXPECT_EQ(1, log->Count("GetRegSystem: System\\Port 70000 is not 1 to 65535; 21 is used"));
}

TEST_F(Settings, LogSaveRewritesTheTraceSwitches) {
    SetDword("Log", "TRACE0", 0);
    SetDword("Log", "TRACE5", 7);
    WithApp([] {
        GetRegLog();
        EXPECT_EQ(0, logLevelOn[LOG_TRACE0]);
        EXPECT_EQ(7, logLevelOn[LOG_TRACE5]);
        SetRegLog();
    });
    for (const char* name : {"TRACE0", "TRACE1", "TRACE2", "TRACE3", "TRACE4"})
        EXPECT_EQ(1, GetDword("Log", name)) << name;
    EXPECT_EQ(0, GetDword("Log", "TRACE5"));
}

// What is taken, and what is refused and read as empty.
TEST_F(PassiveValues, RangesAndAddressesAreTakenOrRefusedWhole) {
    struct Row {
        const char* ports;
        uint16_t low, high; // 0 0 = any port
        const char* address;
        const char* announced; // "" = the local address
    } rows[] = {
        {"50000-50099", 50000, 50099, "203.0.113.9", "203.0.113.9"},
        {" 1 - 65535 ", 1, 65535, "10.0.0.1", "10.0.0.1"},
        {"4000-4000", 4000, 4000, "255.255.255.254", "255.255.255.254"},
        {"", 0, 0, "", ""},
        {"5000", 0, 0, "10.0.0", ""},
        {"0-100", 0, 0, "10.0.0.1.5", ""},
        {"6000-5000", 0, 0, "10.0.0.256", ""},
        {"1-65536", 0, 0, "0.0.0.0", ""},
        {"1000-2000x", 0, 0, "255.255.255.255", ""},
        {"-5-10", 0, 0, "010.0.0.1", ""},
        {"100000-100001", 0, 0, "host.example", ""},
        {"", 0, 0, "2001:db8::9", "2001:db8::9"},
        {"", 0, 0, "::ffff:10.0.0.2", "10.0.0.2"},
        {"", 0, 0, "::", ""},
        {"", 0, 0, "::ffff:255.255.255.255", ""},
        {"", 0, 0, "fe80::1%eth0", ""},
    };
    for (const Row& row : rows) {
        SetString("System", "PassivePorts", row.ports);
        SetString("System", "PassiveAddress", row.address);
        systemSettings.passivePortLow = systemSettings.passivePortHigh =
            7; // a reload replaces old values
        systemSettings.passiveAddress = NetAddressIpv4(7, 7, 7, 7);
        WithApp([] { GetRegSystem(); });
        EXPECT_EQ(systemSettings.passivePortLow, row.low) << '"' << row.ports << '"';
        EXPECT_EQ(systemSettings.passivePortHigh, row.high) << '"' << row.ports << '"';
        NetAddress announced = PassiveAddressSetting();
        char text[NET_ADDRESS_TEXT_SIZE] = "";
        if (announced.family) NetAddressText(announced, text);
        EXPECT_STREQ(text, row.announced) << '"' << row.address << '"';
        EXPECT_EQ(systemSettings.port, 21) << "the other values still load";
    }
}
