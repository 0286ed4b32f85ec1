#include "admin/logging_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>

#include "admin/page_store.h"
#include "admin/page_util.h"
#include "admin/user_dialog.h"
#include "config/config.h"
#include "ipc/ipc.h"
#include "log/log.h"

LoggingPage::LoggingPage(QWidget* parent) : QWidget(parent) {
    setObjectName("loggingPage");
    directory_ = new QLineEdit(FromStoreText(logDir));
    directory_->setObjectName("logDir");
    directory_->setMaxLength(259);
    enable_ = new QCheckBox("&Enable");
    enable_->setObjectName("logEnable");
    enable_->setChecked(logEnable);
    auto* browse = new QPushButton("&Browse...");
    browse->setObjectName("browse");
    size_ = new QLineEdit(logSize ? QString::number(logSize) : QString());
    size_->setObjectName("logSize");
    SetDigitsOnly(size_, 9);
    FitNumberField(size_, 9);
    sync_ = new QCheckBox("&Synchronize for debugging");
    sync_->setObjectName("logSync");
    sync_->setChecked(logSync);

    auto* grid = new QGridLayout(this);
    auto* dirLabel = new QLabel("Directory:");
    dirLabel->setBuddy(directory_);
    grid->addWidget(dirLabel, 0, 0);
    grid->addWidget(directory_, 0, 1, 1, 2);
    grid->addWidget(browse, 0, 3);
    auto* sizeLabel = new QLabel("Maximum Size:");
    sizeLabel->setBuddy(size_);
    grid->addWidget(sizeLabel, 1, 0);
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(size_);
    sizeRow->addWidget(new QLabel("bytes"));
    sizeRow->addStretch();
    grid->addLayout(sizeRow, 1, 1, 1, 2);
    grid->addWidget(enable_, 2, 0, 1, 2);
    grid->addWidget(sync_, 3, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);

    connect(enable_, &QCheckBox::clicked, this, &LoggingPage::changed);
    connect(sync_, &QCheckBox::clicked, this, &LoggingPage::changed);
    connect(directory_, &QLineEdit::textChanged, this, &LoggingPage::changed);
    connect(size_, &QLineEdit::textChanged, this, &LoggingPage::changed);
    connect(browse, &QPushButton::clicked, this,
            [this] { BrowseForFolder(this, directory_, "Select log file directory."); });
}

int LoggingPage::apply() {
    snprintf(logDir, sizeof logDir, "%s", ToStoreText(directory_->text()).left(259).constData());
    logSize = (uint32_t)AtolText(size_->text());
    logEnable = enable_->isChecked() ? 1 : 0;
    logSync = sync_->isChecked() ? 1 : 0;
    StoreGroup(SetRegLog, IPC_MSG_LOGGING_CHANGED);
    return 1;
}
