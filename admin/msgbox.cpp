#include "admin/msgbox.h"

namespace {
AdminMessageHook& Hook() {
    static AdminMessageHook hook;
    return hook;
}
} // namespace

void AdminSetMessageHook(AdminMessageHook hook) {
    Hook() = std::move(hook);
}

QMessageBox::StandardButton AdminMessageBox(QWidget* owner, const QString& text,
                                            const QString& caption, QMessageBox::Icon icon,
                                            QMessageBox::StandardButtons buttons) {
    if (Hook()) return Hook()({owner, text, caption, icon, buttons});
    QMessageBox box(icon, caption, text, buttons, owner);
    return (QMessageBox::StandardButton)box.exec();
}
