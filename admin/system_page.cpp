#include "admin/system_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLineEdit>

#include "admin/msgbox.h"
#include "admin/page_store.h"
#include "admin/page_util.h"
#include "config/config.h"
#include "ipc/ipc.h"
#include "ipc/role.h"

namespace {
void (*systemApplied)() = nullptr;
} // namespace

void SetSystemAppliedHook(void (*hook)()) {
    systemApplied = hook;
}

void RunSystemAppliedHook() {
    if (RoleIsServerOrService() && systemApplied) systemApplied();
}

SystemPage::SystemPage(QWidget* parent) : QWidget(parent) {
    setObjectName("systemPage");
    port_ = new QLineEdit(QString::number(systemSettings.port));
    port_->setObjectName("port");
    SetDigitsOnly(port_, 5);
    enable_ = new QCheckBox("&Enable");
    enable_->setObjectName("serverEnable");
    enable_->setChecked(systemSettings.serverEnable);
    port_->setEnabled(enable_->isChecked());
    // Not digits only: a typed sign is read, and refused, as the number it is.
    maxConn_ =
        new QLineEdit(systemSettings.maxConn ? QString::number(systemSettings.maxConn) : QString());
    maxConn_->setObjectName("maxConn");
    maxConn_->setMaxLength(5);

    FitNumberField(port_, 5);
    FitNumberField(maxConn_, 5);
    auto* form = new QFormLayout(this);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    form->addRow("Port:", port_);
    form->addRow("", enable_);
    form->addRow("Max. Connections:", maxConn_);

    connect(enable_, &QCheckBox::clicked, this, [this](bool on) {
        port_->setEnabled(on);
        emit changed();
    });
    connect(port_, &QLineEdit::textEdited, this, &SystemPage::changed);
    connect(maxConn_, &QLineEdit::textEdited, this, &SystemPage::changed);
}

int SystemPage::apply() {
    // Taken as unsigned numbers, as the store keeps them: a negative entry
    // is out of range too.
    uint32_t port = (uint32_t)AtolText(port_->text());
    if (port < 1 || port > 65535) {
        AdminMessageBox(nullptr, "Port out of range.  The port must be between 1 and 65535.",
                        "Brindlex", QMessageBox::Critical);
        port_->setFocus();
        return 0;
    }
    uint32_t connections = (uint32_t)AtolText(maxConn_->text());
    if (connections > 65535) {
        AdminMessageBox(nullptr, "Number of connections out of range.  Must be less than 65536.",
                        "Brindlex", QMessageBox::Critical);
        maxConn_->setFocus();
        return 0;
    }
    systemSettings.serverEnable = enable_->isChecked() ? 1 : 0;
    systemSettings.maxConn = (uint16_t)connections;
    systemSettings.port = (uint16_t)port;
    StoreGroup(SetRegSystem, IPC_MSG_SYSTEM_CHANGED);
    RunSystemAppliedHook();
    return 1;
}
