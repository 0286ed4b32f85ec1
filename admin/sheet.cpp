#include "admin/sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "admin/advanced_page.h"
#include "admin/display_page.h"
#include "admin/logging_page.h"
#include "admin/messages_page.h"
#include "admin/system_page.h"
#include "admin/users_page.h"

PropertySheet::PropertySheet(QWidget* owner) : QDialog(owner) {
    setObjectName("propertySheet");
    setWindowTitle("Properties");
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget;
    tabs_->setObjectName("pages");
    layout->addWidget(tabs_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::Apply);
    buttons->setObjectName("sheetButtons");
    applyButton_ = buttons->button(QDialogButtonBox::Apply);
    applyButton_->setObjectName("applyButton");
    applyButton_->setEnabled(false);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("okButton");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancelButton");
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (applyPages()) accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(applyButton_, &QPushButton::clicked, this, [this] { applyPages(); });
    connect(tabs_, &QTabWidget::currentChanged, this, &PropertySheet::pageShown);
}

void PropertySheet::addPage(QWidget* page, const QString& title, std::function<int()> apply) {
    pages_.push_back({page, std::move(apply), false});
    tabs_->addTab(page, title);
    pageShown(tabs_->currentIndex());
}

void PropertySheet::pageShown(int index) {
    if (index >= 0 && index < (int)pages_.size()) pages_[index].shown = true;
}

void PropertySheet::markChanged() {
    applyButton_->setEnabled(true);
}

int PropertySheet::applyPages() {
    for (Page& page : pages_) {
        if (!page.shown || !page.apply) continue;
        if (!page.apply()) {
            tabs_->setCurrentWidget(page.widget);
            return 0;
        }
    }
    applyButton_->setEnabled(false);
    return 1;
}

PropertySheet* BuildPropertySheet(QWidget* owner) {
    auto* sheet = new PropertySheet(owner);
    auto* display = new DisplayPage;
    auto* logging = new LoggingPage;
    auto* system = new SystemPage;
    sheet->addPage(display, "Display", [display] { return display->apply(); });
    sheet->addPage(logging, "Logging", [logging] { return logging->apply(); });
    sheet->addPage(new MessagesPage, "Messages", nullptr);
    // The Users page saves each change at once; it has nothing to apply.
    sheet->addPage(new UsersPage, "Users", nullptr);
    sheet->addPage(system, "System", [system] { return system->apply(); });
    auto* advanced = new AdvancedPage;
    sheet->addPage(advanced, "Advanced", [advanced] { return advanced->apply(); });
    for (QWidget* page :
         {(QWidget*)display, (QWidget*)logging, (QWidget*)system, (QWidget*)advanced})
        QObject::connect(page, SIGNAL(changed()), sheet, SLOT(markChanged()));
    return sheet;
}

void ShowPropertySheet(QWidget* owner) {
    PropertySheet* sheet = BuildPropertySheet(owner);
    sheet->exec();
    delete sheet;
}
