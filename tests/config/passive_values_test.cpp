// The System values PassivePorts and PassiveAddress as a load reads them:
// what is taken, and what is refused and read as empty.
#include "store_fixture.h"

using PassiveValues = StoreTest;

TEST_F(PassiveValues, RangesAndAddressesAreTakenOrRefusedWhole) {
    struct Row {
        const char* ports;
        uint16_t low, high;  // 0 0 = any port
        const char* address;
        uint32_t announced;  // 0 = the local address
    } rows[] = {
        {"50000-50099", 50000, 50099, "203.0.113.9", 0xCB007109},
        {" 1 - 65535 ", 1, 65535, "10.0.0.1", 0x0A000001},
        {"4000-4000", 4000, 4000, "255.255.255.254", 0xFFFFFFFE},
        {"", 0, 0, "", 0},
        {"5000", 0, 0, "10.0.0", 0},
        {"0-100", 0, 0, "10.0.0.1.5", 0},
        {"6000-5000", 0, 0, "10.0.0.256", 0},
        {"1-65536", 0, 0, "0.0.0.0", 0},
        {"1000-2000x", 0, 0, "255.255.255.255", 0},
        {"-5-10", 0, 0, "010.0.0.1", 0},
        {"100000-100001", 0, 0, "host.example", 0},
    };
    for (const Row& row : rows) {
        SetString("System", "PassivePorts", row.ports);
        SetString("System", "PassiveAddress", row.address);
        systemSettings.passivePortLow = systemSettings.passivePortHigh = 7;  // a reload replaces old values
        systemSettings.passiveAddress = 7;
        WithApp([] { GetRegSystem(); });
        EXPECT_EQ(systemSettings.passivePortLow, row.low) << '"' << row.ports << '"';
        EXPECT_EQ(systemSettings.passivePortHigh, row.high) << '"' << row.ports << '"';
        EXPECT_EQ(systemSettings.passiveAddress, row.announced) << '"' << row.address << '"';
        EXPECT_EQ(systemSettings.port, 21) << "the other values still load";
    }
}
