#include "admin/messages_page.h"

#include <QGroupBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/text_dialog.h"

MessagesPage::MessagesPage(QWidget* parent) : QWidget(parent) {
    setObjectName("messagesPage");
    auto* group = new QGroupBox("Edit Messages");
    auto* buttons = new QVBoxLayout(group);
    for (const MessageFile& file : kMessageFiles) {
        auto* button = new QPushButton(file.button);
        button->setObjectName(file.objectName);
        buttons->addWidget(button);
        const MessageFile* which = &file;
        connect(button, &QPushButton::clicked, this, [this, which] {
            TextDialog editor(*which, this);
            editor.exec();
        });
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addStretch();
}
