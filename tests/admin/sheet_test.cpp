// The property sheet and its pages: what reaches the store, what is refused
// with which message, the change messages of the admin role, the server
// role's listener, and the message editor's files.
#include <QCheckBox>
#include <QComboBox>
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
#include "config/proxy_settings.h"
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
        std::string steps;
        const char* message; // nullptr: stored
    } cases[] = {
        {"LoginTimeout=abc", "Login time-out: \"abc\" is not a number."},
        {"IdleTimeout=4294967296", "Idle time-out: \"4294967296\" is not a number."},
        {"PassivePorts=3000-2000", "Passive ports: \"3000-2000\" is not low-high, 1 to 65535."},
        {"PassiveAddress=10.0.0.256", "Passive address: \"10.0.0.256\" is not empty or one IPv4 or "
                                      "IPv6 address (not 0.0.0.0, :: "
                                      "or 255.255.255.255)."},
        {"ListenAddress=127.0.0.256",
         "Listen address: \"127.0.0.256\" is not empty (every address) or one "
         "IPv4 or IPv6 address (0.0.0.0 or :: for every address of one "
         "family)."},
        {"ImplicitTlsPort=65536", "Implicit TLS port: \"65536\" is not 0 to 65535."},
        {"MaxConnPerAddress=-1", "Connections per address: \"-1\" is not a number."},
        {"UploadHook=bin/scan", "Upload hook: \"bin/scan\" is not an absolute path."},
        {"UploadHookTimeout=0", "Hook time limit: \"0\" is not 1 to 4294967295."},
        {"MetricsAddress=127.0.0.1", "Metrics address: \"127.0.0.1\" is not address:port "
                                     "(a.b.c.d:port or [IPv6]:port)."},
        {"ProxyFrom=10.0.0.0/33", "Balancers: \"10.0.0.0/33\" is not a list of IPv4 or IPv6 "
                                  "addresses, each with an optional /bits, separated by commas "
                                  "or blanks."},
        {"LoginTimeout=30|IdleTimeout=600|LoginFailDelay=0|PassivePorts= 40000 - 40009 "
         "|PassiveAddress=192.0.2.5|+Extensions|ListenAddress=127.0.0.1|Tls=2|ImplicitTlsPort=990"
         "|-TlsDataResume|MaxDownloadRate=512|MaxUploadRate=4294967295|MaxConnPerAddress=3"
         "|MetricsAddress=127.0.0.1:9123|+MetricsPerAccount|+ProxyProtocol|ProxyFrom=10.0.0.5, "
         "10.1.0.0/16|UploadHookTimeout=5|UploadHook=/" +
             std::string(258, 'h') + "|TlsCertificate=/" + std::string(300, 'c'),
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
            EXPECT_STREQ(NetAddressText(ListenAddressSetting(), text), "127.0.0.1");
            EXPECT_EQ(SettingLoad(systemSettings.tls), 2u);
            EXPECT_EQ(SettingLoad(systemSettings.tlsDataResume), 0u);
            EXPECT_EQ(SettingLoad(systemSettings.implicitTlsPort), 990u);
            EXPECT_EQ(SettingLoad(systemSettings.maxDownloadRate), 512u);
            EXPECT_EQ(SettingLoad(systemSettings.maxUploadRate), 4294967295u);
            EXPECT_EQ(SettingLoad(systemSettings.maxConnPerAddress), 3u);
            EXPECT_EQ(SettingLoad(systemSettings.uploadHookTimeout), 5u);
            EXPECT_EQ(SettingLoad(systemSettings.metricsPerAccount), 1u);
            EXPECT_EQ(metricsAddress, "127.0.0.1:9123");
            EXPECT_EQ(ProxyProtocolSetting(), 1u);
            EXPECT_TRUE(ProxyFromAllows(NetAddressIpv4(10, 1, 2, 3, 0)));
            // Paths as long as the server reads them, and no longer.
            EXPECT_EQ(UploadHookSetting(), "/" + std::string(258, 'h'));
            EXPECT_EQ(systemSettings.tlsCertificate, "/" + std::string(258, 'c'));
            AdvancedPage again; // shows what is stored
            EXPECT_EQ(Find<QLineEdit>(&again, "PassiveAddress")->text(), "192.0.2.5");
            EXPECT_EQ(Find<QLineEdit>(&again, "ProxyFrom")->text(), "10.0.0.5, 10.1.0.0/16");
            EXPECT_EQ(Find<QComboBox>(&again, "Tls")->currentIndex(), 2);
            EXPECT_TRUE(Find<QCheckBox>(&again, "Extensions")->isChecked());
            EXPECT_FALSE(Find<QCheckBox>(&again, "TlsDataResume")->isChecked());
        }
    }
}

bool Connects(uint16_t port, uint32_t address = 0x7F000001) {
    int fd = bxtest::Connect(address, port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

// Both pages reach the engine through the System applied hook, as the
// program installs it: listener, ListenAddress and metrics have moved when
// the apply returns.
TEST_F(Sheet, ServerRoleApplyOfSystemAndAdvancedPagesTakesEffectBeforeItReturns) {
    uint16_t first = 0, second = 0, metrics = 0;
    for (uint16_t* port : {&first, &second, &metrics})
        close(bxtest::Listen(port));
    systemSettings = {1, 0, first};
    SetListenAddressSetting(NetAddressIpv4(127, 0, 0, 1, 0));
    ASSERT_EQ(SockThreadInit(), 0);
    SockSend(SOCK_MSG_LISTEN, first, 1);
    ASSERT_TRUE(Connects(first));

    SetSystemAppliedHook(ListenWithSystemSettings);
    SystemPage page;
    Do(&page, "port=" + std::to_string(second));
    EXPECT_EQ(page.apply(), 1);
    EXPECT_TRUE(Connects(second)) << "listening on the new port when the apply returns";
    EXPECT_FALSE(Connects(first));

    AdvancedPage advanced;
    Do(&advanced, "ListenAddress=127.0.0.2|MetricsAddress=127.0.0.1:" + std::to_string(metrics));
    EXPECT_EQ(advanced.apply(), 1);
    EXPECT_TRUE(Connects(second, 0x7F000002)) << "on the new ListenAddress";
    EXPECT_FALSE(Connects(second));
    EXPECT_TRUE(Connects(metrics)) << "metrics served";
    Do(&advanced, "MetricsAddress=");
    EXPECT_EQ(advanced.apply(), 1);
    EXPECT_FALSE(Connects(metrics)) << "metrics off";

    Find<QCheckBox>(&page, "serverEnable")->click();
    EXPECT_EQ(page.apply(), 1);
    EXPECT_FALSE(Connects(second, 0x7F000002)) << "Enable off closes the listener";
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
