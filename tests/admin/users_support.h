// Shared set-up of the Users page tests: the in-process FTP server with its
// store, the real user list, the offscreen Qt application, the message boxes
// captured (and answered) through the window's hook, and helpers that drive
// the modal settings dialog the way a user does.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admin/msgbox.h"
#include "admin/user_dialog.h"
#include "admin/users_page.h"
#include "config/config.h"
#include "ipc/role.h"
#include "server/ftp_fixture.h"

namespace userstest {

struct Shown {
    QWidget* owner;
    std::string text;
    std::string caption;
    QMessageBox::Icon icon;
};

// One application for the whole program, never destroyed: it must outlive
// every widget, and Qt's own statics go before ours at exit.
inline void EnsureApp() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform warns about every window it cannot resize.
    static QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (!text.contains("propagateSizeHints") && previous) previous(type, context, text);
        });
    static int argc = 1;
    static char name[] = "test_admin";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

template <typename T>
T* Find(QWidget* parent, const char* name) {
    T* widget = parent->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << "no control " << name;
    return widget;
}

// What the user typed with the keyboard: goes through the field's limits.
inline void Type(QWidget* dialog, const char* field, const std::string& text) {
    QLineEdit* edit = Find<QLineEdit>(dialog, field);
    edit->clear();
    edit->insert(QString::fromUtf8(text));
}

inline std::string Text(QWidget* dialog, const char* field) {
    return Find<QLineEdit>(dialog, field)->text().toStdString();
}

inline void Check(QWidget* dialog, const char* box, bool on) {
    QCheckBox* b = Find<QCheckBox>(dialog, box);
    if (b->isChecked() != on) b->click();
}

inline void PressOk(QWidget* dialog) { Find<QPushButton>(dialog, "ok")->click(); }

class UsersTest : public FtpFixture {
protected:
    void SetUp() override {
        FtpFixture::SetUp();
        EnsureApp();
        processRole = ROLE_SERVER;
        AdminSetMessageHook([this](const AdminMessage& m) {
            shown.push_back({m.owner, m.text.toStdString(), m.caption.toStdString(), m.icon});
            return answer;
        });
    }
    void TearDown() override {
        page.reset();
        AdminSetMessageHook(nullptr);
        SetFolderChooser(nullptr);
        FtpFixture::TearDown();
    }

    static UserAccount Account(const char* name, const std::string& root, const char* password = "") {
        UserAccount account;
        UserAccountDefaults(&account, name);
        snprintf(account.Root, sizeof account.Root, "%s", root.c_str());
        snprintf(account.Home, sizeof account.Home, "%s", root.c_str());
        if (*password) MakePasswordDigest(name, password, account.PW);
        return account;
    }

    // Puts the accounts into the list and the store; the page opens on them.
    void Seed(std::initializer_list<UserAccount> accounts) {
        LockUserList();
        userList.accounts.assign(accounts.begin(), accounts.end());
        UnlockUserList();
        ASSERT_TRUE(OpenRegApp("Brindlex"));
        SetRegUsers(&userList);
        CloseRegApp();
        page = std::make_unique<UsersPage>();
    }

    // The accounts in the store, in the store's order.
    static std::vector<UserAccount> Stored() {
        UserList stored;
        if (OpenRegApp("Brindlex")) {
            GetRegUsers(&stored);
            CloseRegApp();
        }
        return stored.accounts;
    }
    static const UserAccount* StoredNamed(const std::vector<UserAccount>& accounts, const std::string& name) {
        for (const UserAccount& a : accounts)
            if (name == a.name) return &a;
        return nullptr;
    }

    // A fresh control connection that logs in with exactly these bytes.
    bool LogsIn(const std::string& name, const std::string& password) {
        FtpClient client;
        if (!client.Connect(Port()) || client.ReadReply().rfind("220", 0) != 0) return false;
        return client.Login(name, password);
    }

    // The one message box shown since the last call, as "caption|text";
    // "" when none, "many" when more than one.
    std::string TakeShown() {
        std::string one = shown.empty() ? "" : shown.size() > 1 ? "many" : shown[0].caption + "|" + shown[0].text;
        shown.clear();
        return one;
    }

    QListWidget* List() { return Find<QListWidget>(page.get(), "userList"); }
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        for (int i = 0; i < List()->count(); i++) lines.push_back(List()->item(i)->text().toStdString());
        return lines;
    }
    void Select(std::initializer_list<const char*> names) {
        List()->clearSelection();
        for (const char* name : names) {
            auto items = List()->findItems(name, Qt::MatchExactly);
            ASSERT_EQ(items.size(), 1) << name;
            items[0]->setSelected(true);
        }
    }

    // Presses a page button (or, with nullptr, double-clicks the first
    // selected line) and runs act on the modal dialog once it shows. A dialog
    // still open after act is cancelled; returns whether it was.
    bool WithDialog(const char* button, const std::function<void(QWidget*)>& act) {
        bool stayedOpen = false, seen = false;
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog->objectName() != "userDialog") return;
            seen = true;
            act(dialog);
            if (dialog->isVisible()) {
                stayedOpen = true;
                Find<QPushButton>(dialog, "cancel")->click();
            }
        });
        if (button)
            Find<QPushButton>(page.get(), button)->click();
        else
            emit List()->itemDoubleClicked(List()->selectedItems().value(0));
        EXPECT_TRUE(seen) << "no settings dialog showed";
        return stayedOpen;
    }

    std::unique_ptr<UsersPage> page;
    std::vector<Shown> shown;
    QMessageBox::StandardButton answer = QMessageBox::Ok;
};

}  // namespace userstest
