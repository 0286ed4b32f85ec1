// Set-up of the window tests: one QApplication on the offscreen platform for
// the whole program, the server role, and every message box captured instead
// of shown. AdminTest gives each case a fresh store (config/store_fixture.h);
// UsersTest adds the in-process engine with its user list, and drives the
// Users page and its settings dialog as a user does.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "admin/msgbox.h"
#include "admin/user_dialog.h"
#include "admin/users_page.h"
#include "config/store_fixture.h"
#include "ipc/ipc.h"
#include "ipc/role.h"
#include "log/log.h"
#include "platform/mainqueue.h"
#include "platform/slot.h"
#include "server/ftp_fixture.h"

// One application for the program, never destroyed: Qt's statics go first at exit.
inline void EnsureApp() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_admin", *argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

// Processes events until cond holds or timeoutMs has passed.
template <typename Cond> bool SpinUntil(Cond cond, int timeoutMs = 5000) {
    return bxtest::WaitFor(
        [&] {
            QApplication::processEvents();
            return cond();
        },
        timeoutMs);
}

template <typename T = QLineEdit> T* Find(QWidget* parent, const char* name) {
    T* widget = parent->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << "no widget named " << name;
    return widget;
}

// Steps separated by "|": "field=text" types (through the field's limits),
// "list=N" picks a list's entry N,
// "+box" / "-box" sets a check box by clicking it, "ok" presses OK.
inline void Do(QWidget* dialog, const std::string& steps) {
    std::stringstream in(steps);
    for (std::string step; std::getline(in, step, '|');) {
        size_t eq = step.find('=');
        if (step == "ok") {
            Find<QPushButton>(dialog, "ok")->click();
        } else if (auto* list = dialog->findChild<QComboBox*>(step.substr(0, eq).c_str());
                   eq != std::string::npos && list) {
            list->setCurrentIndex(std::stoi(step.substr(eq + 1)));
        } else if (eq != std::string::npos) {
            Find(dialog, step.substr(0, eq).c_str())->clear();
            Find(dialog, step.substr(0, eq).c_str())
                ->insert(QString::fromUtf8(step.substr(eq + 1)));
        } else if (QCheckBox* box = Find<QCheckBox>(dialog, step.substr(1).c_str());
                   box->isChecked() != (step[0] == '+')) {
            box->click();
        }
    }
}

// Base is the store's or the engine's fixture. Each message box shown is
// appended to shown as "caption|text|dialog" (owned by a dialog) or
// "caption|text|none", with "|icon N" unless it is the stop icon, and
// answered with answer.
template <typename Base> struct WindowTest : Base {
    std::string shown;
    QMessageBox::StandardButton answer = QMessageBox::Ok;

    void SetUp() override {
        EnsureApp();
        Base::SetUp();
        RegCloseStore(); // the store of this test's machine directory, not a former one
        processRole = ROLE_SERVER;
        // Work an earlier test in this process left queued (a status change
        // posted while its window still listened) is not this test's.
        MainQueueDrain();
        AdminSetMessageHook([this](const AdminMessage& m) {
            shown += m.caption.toStdString() + "|" + m.text.toStdString() +
                     (m.owner ? "|dialog" : "|none") +
                     (m.icon == QMessageBox::Critical ? "" : "|icon " + std::to_string(m.icon));
            return answer;
        });
    }
    void TearDown() override {
        if (serverSlot >= 0) {
            IpcShutdown();
            SlotClose(serverSlot);
        }
        AdminSetMessageHook(nullptr);
        processRole = ROLE_SERVER;
        Base::TearDown();
    }

    // The admin role, talking to a server's slot that the test holds.
    int serverSlot = -1;
    void AdminRole() {
        serverSlot = SlotCreate("\\\\.\\mailslot\\Quennel\\Brindlex\\Server", 0, 1);
        ASSERT_GE(serverSlot, 0);
        processRole = ROLE_ADMIN;
        IpcStartup();
    }
    // The messages the server has not read yet, each as "type/size ", in order.
    std::string Sent() {
        std::string got;
        uint8_t message[IPC_MESSAGE_MAX];
        uint32_t read = 0, next = 0, waiting = 0;
        while (SlotInfo(serverSlot, &next, &waiting) && waiting &&
               SlotRead(serverSlot, message, sizeof message, &read))
            got += std::to_string(message[0]) + "/" + std::to_string(read) + " ";
        return got;
    }
};

using AdminTest = WindowTest<StoreTest>;

class UsersTest : public WindowTest<FtpFixture> {
  protected:
    UserAccount Account(const char* name, const char* password = "", const std::string& sub = "") {
        UserAccount account;
        UserAccountDefaults(&account, name);
        snprintf(account.Root, sizeof account.Root, "%s%s", RootDir().c_str(), sub.c_str());
        snprintf(account.Home, sizeof account.Home, "%s", account.Root);
        if (*password) MakePasswordDigest(name, password, account.PW);
        return account;
    }
    // The accounts go into the list and the store; the page opens on them.
    void Seed(std::initializer_list<UserAccount> accounts) {
        userList.accounts.assign(accounts.begin(), accounts.end());
        ASSERT_TRUE(OpenRegApp("Brindlex"));
        SetRegUsers(&userList);
        CloseRegApp();
        page = std::make_unique<UsersPage>();
    }
    static std::vector<UserAccount> Stored() {
        UserList stored;
        if (OpenRegApp("Brindlex")) GetRegUsers(&stored), CloseRegApp();
        return stored.accounts;
    }
    // The stored accounts as "name root home limit" (paths below RootDir()
    // shortened to "~"), by name; then " down/up/MiB/files" when the account
    // has any of these limits.
    std::string Summary() {
        std::string s;
        for (const UserAccount& a : Stored()) {
            std::string root = a.Root, home = a.Home;
            for (std::string* p : {&root, &home})
                if (p->rfind(RootDir(), 0) == 0) p->replace(0, RootDir().size(), "~");
            s += std::string(a.name) + " " + root + " " + home + " " + std::to_string(a.MaxConn);
            if (a.MaxDownloadRate || a.MaxUploadRate || a.QuotaMiB || a.QuotaFiles)
                s += " " + std::to_string(a.MaxDownloadRate) + "/" +
                     std::to_string(a.MaxUploadRate) + "/" + std::to_string(a.QuotaMiB) + "/" +
                     std::to_string(a.QuotaFiles);
            s += "; ";
        }
        return s;
    }
    bool LogsIn(const std::string& name, const std::string& password) {
        FtpClient client;
        return client.Connect(Port()) && client.ReadReply().rfind("220", 0) == 0 &&
               client.Login(name, password);
    }

    QListWidget* List() { return Find<QListWidget>(page.get(), "userList"); }
    // The page's lines, each followed by a blank.
    std::string Lines() {
        std::string s;
        for (int i = 0; i < List()->count(); i++)
            s += List()->item(i)->text().toStdString() + " ";
        return s;
    }
    void Select(std::vector<std::string> names) {
        List()->clearSelection();
        for (const std::string& name : names)
            for (QListWidgetItem* item :
                 List()->findItems(QString::fromStdString(name), Qt::MatchExactly))
                item->setSelected(true);
    }
    // Presses a page button (nullptr: double-clicks the first selected line)
    // and, once the dialog shows, runs act (or the steps) on it. Returns the
    // focused field if the dialog stayed open (then cancelled), else "closed".
    std::string Dialog(const char* button, const std::function<void(QWidget*)>& act) {
        std::string result = "no dialog";
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog->objectName() != "userDialog") return;
            act(dialog);
            QWidget* focus = dialog->focusWidget();
            result = !dialog->isVisible() ? "closed"
                     : focus              ? focus->objectName().toStdString()
                                          : "open";
            if (dialog->isVisible()) Find<QPushButton>(dialog, "cancel")->click();
        });
        button ? Find<QPushButton>(page.get(), button)->click()
               : emit List()->itemDoubleClicked(List()->selectedItems().value(0));
        return result;
    }
    std::string Dialog(const char* button, const std::string& steps) {
        return Dialog(button, [&](QWidget* d) { Do(d, steps); });
    }

    std::unique_ptr<UsersPage> page;
};
