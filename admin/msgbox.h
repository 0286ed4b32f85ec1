// Every message box of the window goes through AdminMessageBox, so tests can
// capture what would be shown (text, caption, icon, buttons) and answer it.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

struct AdminMessage {
    QWidget* owner;
    QString text;
    QString caption;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

// Shows the box (modal to owner) and returns the button pressed; with a hook
// installed, returns what the hook answers instead and shows nothing.
QMessageBox::StandardButton AdminMessageBox(QWidget* owner, const QString& text,
                                            const QString& caption, QMessageBox::Icon icon,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);

using AdminMessageHook = std::function<QMessageBox::StandardButton(const AdminMessage&)>;
// Installs (or, with an empty function, removes) the hook.
void AdminSetMessageHook(AdminMessageHook hook);
