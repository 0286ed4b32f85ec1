// The property sheet and its pages: what reaches the store, what is refused
// with which message, the change messages of the admin role, the server
// role's listener, and the message editor's files.
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>

#include "admin/advanced_page.h"
#include "admin/sheet.h"
#include "admin/system_page.h"
#include "admin/logging_page.h"
#include "admin/text_dialog.h"
#include "admin_fixture.h"
#include "app/startup.h"
#include "server/sockthread.h"

namespace {

using Sheet = AdminTest;

QWidget* ShowTab(PropertySheet* sheet, const char* pageName) {
    QWidget* page = sheet->findChild<QWidget*>(pageName);
    sheet->tabs()->setCurrentWidget(page);
    return page;
}

TEST_F(Sheet, SystemPageRefusesOutOfRangeNumbersAndStoresNothing) {
    const struct {
        const char* port;
        const char* maxConn;
        bool enable;
        const char* message; // nullptr: stored
    } cases[] = {
        {"0", "", true, "Port out of range.  The port must be between 1 and 65535."},
        {"", "", true, "Port out of range.  The port must be between 1 and 65535."},
        {"65536", "", true, "Port out of range.  The port must be between 1 and 65535."},
        {"0", "", false, "Port out of range.  The port must be between 1 and 65535."},
        {"2121", "65536", true, "Number of connections out of range.  Must be less than 65536."},
        {"2121", "-1", true, "Number of connections out of range.  Must be less than 65536."},
        {"1", "65535", false, nullptr},
        {"65535", "", true, nullptr},
    };
    for (const auto& c : cases) {
        std::string row = std::string("port '") + c.port + "' connections '" + c.maxConn + "'";
        shown.clear();
        systemSettings = {1, 0, 21};
        std::unique_ptr<PropertySheet> sheet(BuildPropertySheet(nullptr));
        sheet->show();
        QWidget* page = ShowTab(sheet.get(), "systemPage");
        ShowTab(sheet.get(), "displayPage");
        if (!c.enable) Find<QCheckBox>(page, "serverEnable")->click();
        EXPECT_EQ(Find<QLineEdit>(page, "port")->isEnabled(), c.enable) << row;
        Do(page, std::string("port=") + c.port + "|maxConn=" + c.maxConn);
        Find<QPushButton>(sheet.get(), "okButton")->click();
        EXPECT_EQ(shown, c.message ? std::string("Brindlex|") + c.message + "|none" : "") << row;
        EXPECT_EQ(sheet->isVisible(), c.message != nullptr)
            << row << ": the sheet stays open on a refusal only";
        if (c.message) {
            EXPECT_EQ(GetDword("System", "Port"), -1) << row << ": nothing stored";
            EXPECT_EQ(sheet->tabs()->currentWidget(), page) << row;
        } else {
            EXPECT_EQ(GetDword("System", "Port"), atol(c.port)) << row;
            EXPECT_EQ(GetDword("System", "MaxConn"), atol(c.maxConn)) << row;
            EXPECT_EQ(GetDword("System", "Enable"), c.enable ? 1 : 0) << row;
        }
    }
    // An empty limit is stored as 0 and shown empty again.
    SystemPage again;
    EXPECT_EQ(Find<QLineEdit>(&again, "maxConn")->text(), "");
    EXPECT_EQ(Find<QLineEdit>(&again, "port")->text(), "65535");
}

TEST_F(Sheet, LogSizeTakesNineDigitsAndZeroIsShownEmpty) {
    const std::pair<const char*, int64_t> cases[] = {
        {"", 0},
        {"0", 0},
        {"000123456", 123456},
        {"1234567890", 123456789}, // the field takes nine digits
        {"12a", 0},                // and no other character
    };
    for (auto [typed, stored] : cases) {
        LoggingPage page;
        Do(&page, "logSize=" + std::string(typed) + "|logDir=" + log->dir);
        page.apply();
        EXPECT_EQ(GetDword("Log", "Logsize"), stored) << "typed '" << typed << "'";
        LoggingPage shown;
        EXPECT_EQ(Find<QLineEdit>(&shown, "logSize")->text(), stored ? QString::number(stored) : "")
            << "typed '" << typed << "'";
    }
}

// In the admin role each page's apply ends with its change message.
TEST_F(Sheet, ApplyStoresOnlyThePagesThatWereShownAndTellsTheServer) {
    AdminRole();
    std::unique_ptr<PropertySheet> sheet(BuildPropertySheet(nullptr));
    sheet->show();
    QPushButton* apply = Find<QPushButton>(sheet.get(), "applyButton");
    EXPECT_FALSE(apply->isEnabled());
    QStringList titles;
    for (int i = 0; i < sheet->tabs()->count(); i++)
        titles << sheet->tabs()->tabText(i);
    EXPECT_EQ(titles.join(","), "Display,Logging,Messages,Users,System,Advanced");

    Find<QCheckBox>(sheet.get(), "hideWhenMinimized")->click();
    EXPECT_TRUE(apply->isEnabled());
    apply->click();
    EXPECT_FALSE(apply->isEnabled());
    EXPECT_EQ(Sent(), "0/4 ") << "display changed";
    EXPECT_EQ(GetDword("Display", "Minimized"), 1);
    EXPECT_EQ(GetDword("System", "Port"), -1) << "the System page was never shown";
    EXPECT_EQ(GetDword("Log", "Logging"), -1) << "the Logging page was never shown";

    for (const char* page : {"loggingPage", "systemPage"})
        ShowTab(sheet.get(), page);
    Do(sheet.get(), "port=2100");
    Find<QPushButton>(sheet.get(), "okButton")->click();
    EXPECT_EQ(Sent(), "0/4 1/4 5/4 ") << "display, logging, system changed";
    EXPECT_EQ(GetDword("System", "Port"), 2100);
    EXPECT_EQ(GetDword("Log", "TRACE0"), 1);
}

// The Advanced page judges each value by its rule, as brindlex-reg does; a
// refusal names the value and stores nothing; an accepted page is in force
// at once in the server role and announced in the admin role.
TEST_F(Sheet, AdvancedPageChecksEachValueByItsRuleAndAppliesAsTheOtherPages) {
    const struct {
        const char* steps;
        const char* message; // nullptr: stored
    } cases[] = {
        {"LoginTimeout=abc", "Login time-out: \"abc\" is not a number."},
        {"IdleTimeout=4294967296", "Idle time-out: \"4294967296\" is not a number."},
        {"PassivePorts=3000-2000", "Passive ports: \"3000-2000\" is not low-high, 1 to 65535."},
        {"PassiveAddress=10.0.0.256", "Passive address: \"10.0.0.256\" is not empty or one IPv4 or "
                                      "IPv6 address (not 0.0.0.0, :: "
                                      "or 255.255.255.255)."},
        {"LoginTimeout=30|IdleTimeout=600|LoginFailDelay=0|PassivePorts= 40000 - 40009 "
         "|PassiveAddress=192.0.2.5|+Extensions",
         nullptr},
    };
    for (bool admin : {false, true}) {
        if (admin) AdminRole();
        for (const auto& c : cases) {
            shown.clear();
            Sent();
            SetDword("System", "IdleTimeout", 1);
            std::string before = DumpPath(App("System"));
            AdvancedPage page;
            Do(&page, c.steps);
            EXPECT_EQ(page.apply(), c.message ? 0 : 1) << c.steps;
            EXPECT_EQ(shown, c.message ? std::string("Brindlex|") + c.message + "|none" : "")
                << c.steps;
            if (c.message) {
                EXPECT_EQ(DumpPath(App("System")), before) << c.steps << ": nothing stored";
                continue;
            }
            EXPECT_EQ(Sent(), admin ? "5/4 " : "") << "only the admin tells the server";
            EXPECT_EQ(GetDword("System", "IdleTimeout"), 600);
            EXPECT_NE(DumpPath(App("System")).find("PassivePorts=1:40000 - 40009"),
                      std::string::npos);
            // In force in this process: the engine reads these.
            EXPECT_EQ(TimeLimitSetting(LIMIT_LOGIN_TIMEOUT), 30u);
            EXPECT_EQ(TimeLimitSetting(LIMIT_LOGIN_FAIL_DELAY), 0u);
            EXPECT_EQ(ExtensionsSetting(), 1u);
            EXPECT_EQ(systemSettings.passivePortHigh, 40009);
            char text[NET_ADDRESS_TEXT_SIZE];
            EXPECT_STREQ(NetAddressText(PassiveAddressSetting(), text), "192.0.2.5");
            AdvancedPage again; // shows what is stored
            EXPECT_EQ(Find<QLineEdit>(&again, "PassiveAddress")->text(), "192.0.2.5");
            EXPECT_TRUE(Find<QCheckBox>(&again, "Extensions")->isChecked());
        }
    }
}

bool Connects(uint16_t port) {
    int fd = bxtest::Connect(0x7F000001, port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

TEST_F(Sheet, ServerRoleSystemApplyMovesTheListenerBeforeItReturns) {
    uint16_t first = 0, second = 0;
    for (uint16_t* port : {&first, &second})
        close(bxtest::Listen(port));
    systemSettings = {1, 0, first};
    ASSERT_EQ(SockThreadInit(), 0);
    SockSend(SOCK_MSG_LISTEN, first, 1);
    ASSERT_TRUE(Connects(first));

    SetSystemAppliedHook(ListenWithSystemSettings); // as the program installs it
    SystemPage page;
    Do(&page, "port=" + std::to_string(second));
    ASSERT_EQ(page.apply(), 1);
    EXPECT_TRUE(Connects(second)) << "listening on the new port when the apply returns";
    EXPECT_FALSE(Connects(first));

    Find<QCheckBox>(&page, "serverEnable")->click();
    ASSERT_EQ(page.apply(), 1);
    EXPECT_FALSE(Connects(second)) << "Enable off closes the listener";
    SetSystemAppliedHook(nullptr);
    SockThreadStop();
}

TEST_F(Sheet, MessageEditorTrimsDeletesAndKeepsUneditedBytes) {
    const struct {
        const char* name;
        const char* before; // nullptr: no file
        const char* typed;  // nullptr: no edit
        bool ok;
        const char* after; // nullptr: no file
    } cases[] = {
        {"two blanks each side", "", "  word  ", true, "word"},
        {"blanks only delete", "old", "   ", true, nullptr},
        {"empty deletes", "old", "", true, nullptr},
        {"line break kept", nullptr, "line one\nline two\n", true, "line one\nline two\n"},
        {"tab is not a blank", nullptr, "\tx ", true, "\tx"},
        {"cancel leaves the file", "keep \xff me", "other", false, "keep \xff me"},
        {"unedited non-UTF-8 kept", "caf\xe9 \x80\r\n", nullptr, true, "caf\xe9 \x80\r\n"},
        {"edited CR LF file keeps its line ends", "a\r\nb", "a\nb\nc", true, "a\r\nb\r\nc"},
        {"edited single-byte text stays single-byte", "caf\xe9", "caf\xe9!", true, "caf\xe9!"},
        {"missing file opens empty", nullptr, nullptr, true, nullptr},
    };
    snprintf(workDir, sizeof workDir, "%s", root.c_str());
    for (const auto& c : cases) {
        std::string path = (root / "welcome.txt").string();
        std::filesystem::remove(path);
        if (c.before) bxtest::WriteFile(path, c.before);
        TextDialog editor(kMessageFiles[0]);
        EXPECT_EQ(editor.windowTitle(), "Welcome Message");
        if (c.typed) {
            auto* edit = Find<QPlainTextEdit>(&editor, "messageText");
            edit->selectAll();
            edit->insertPlainText(QString::fromLatin1(c.typed));
        }
        c.ok ? editor.accept() : editor.reject();
        std::string after = std::filesystem::exists(path) ? bxtest::ReadFile(path) : "no file";
        EXPECT_EQ(after, c.after ? c.after : "no file") << c.name;
    }
    workDir[0] = 0;
    EXPECT_EQ(TextDialog(kMessageFiles[3]).path(), "/logout.txt");
}

} // namespace
