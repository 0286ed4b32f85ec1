#include "admin/display_page.h"

#include <QCheckBox>
#include <QVBoxLayout>

#include "admin/page_store.h"
#include "config/config.h"
#include "ipc/ipc.h"

DisplayPage::DisplayPage(QWidget* parent) : QWidget(parent) {
    setObjectName("displayPage");
    hideInitially_ = new QCheckBox("Hide &Initially");
    hideInitially_->setObjectName("hideInitially");
    hideInitially_->setChecked(displaySettings.hideInitially);
    hideWhenMinimized_ = new QCheckBox("Hide When &Minimized");
    hideWhenMinimized_->setObjectName("hideWhenMinimized");
    hideWhenMinimized_->setChecked(displaySettings.hideWhenMinimized);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hideInitially_);
    layout->addWidget(hideWhenMinimized_);
    layout->addStretch();
    connect(hideInitially_, &QCheckBox::clicked, this, &DisplayPage::changed);
    connect(hideWhenMinimized_, &QCheckBox::clicked, this, &DisplayPage::changed);
}

int DisplayPage::apply() {
    displaySettings.hideInitially = hideInitially_->isChecked() ? 1 : 0;
    displaySettings.hideWhenMinimized = hideWhenMinimized_->isChecked() ? 1 : 0;
    StoreGroup(SetRegDisplay, IPC_MSG_DISPLAY_CHANGED);
    return 1;
}
