#include "admin/users_page.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "admin/msgbox.h"
#include "admin/user_dialog.h"
#include "config/config.h"
#include "config/users.h"
#include "ipc/ipc.h"
#include "ipc/role.h"
#include "log/log.h"
#include "platform/ascii.h"

UsersPage::UsersPage(QWidget* parent) : QWidget(parent) {
    setObjectName("usersPage");
    list_ = new QListWidget(this);
    list_->setObjectName("userList");
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    newButton_ = new QPushButton("&New", this);
    newButton_->setObjectName("newButton");
    deleteButton_ = new QPushButton("&Delete", this);
    deleteButton_->setObjectName("deleteButton");
    settingsButton_ = new QPushButton("&Settings", this);
    settingsButton_->setObjectName("settingsButton");

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(newButton_);
    buttons->addWidget(deleteButton_);
    buttons->addWidget(settingsButton_);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    connect(newButton_, &QPushButton::clicked, this, [this] { OpenSettings(USER_DIALOG_NEW); });
    connect(settingsButton_, &QPushButton::clicked, this,
            [this] { OpenSettings(USER_DIALOG_EDIT); });
    connect(list_, &QListWidget::itemDoubleClicked, this,
            [this] { OpenSettings(USER_DIALOG_EDIT); });
    connect(deleteButton_, &QPushButton::clicked, this, &UsersPage::DeleteSelected);
    Refill();
}

void UsersPage::Refill() {
    std::vector<QByteArray> names;
    {
        std::lock_guard<std::recursive_mutex> guard(userList.lock);
        for (const UserAccount& account : userList.accounts)
            names.emplace_back(account.name);
    }
    // Sorted as a user reads names: letter case aside, then byte order.
    std::sort(names.begin(), names.end(), [](const QByteArray& a, const QByteArray& b) {
        int order = AsciiCompareNoCase(a.constData(), b.constData());
        return order != 0 ? order < 0 : a < b;
    });
    list_->clear();
    for (const QByteArray& name : names) {
        auto* item = new QListWidgetItem(QString::fromUtf8(name), list_);
        item->setData(USER_NAME_ROLE, name);
    }
}

void UsersPage::OpenSettings(int mode) {
    UserDialog dialog(mode, list_, this);
    if (dialog.exec() != 1) return;
    SaveUsers(true);
    Refill();
}

void UsersPage::DeleteSelected() {
    if (list_->count() == 0) return;
    if (AdminMessageBox(nullptr, "Okay to delete?", "Brindlex", QMessageBox::NoIcon,
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    {
        std::lock_guard<std::recursive_mutex> guard(userList.lock);
        for (int row = 0; row < list_->count(); row++) {
            const QListWidgetItem* item = list_->item(row);
            if (!item->isSelected()) continue;
            int index = UserIndexOf(item->data(USER_NAME_ROLE).toByteArray());
            if (index >= 0) UserListRemove(&userList, index);
        }
    }
    Refill();
    SaveUsers(false);
}

void UsersPage::SaveUsers(bool noteLine) {
    if (OpenRegApp("Brindlex")) {
        if (noteLine) LogPrintf(LOG_INFO, "%s: Line %d.", "dockhand", 2093);
        SetRegUsers(&userList);
        CloseRegApp();
    }
    if (processRole == ROLE_ADMIN) IpcSend(IPC_MSG_USERS_CHANGED, nullptr, 0);
}
