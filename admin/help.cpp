#include "admin/help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "admin/msgbox.h"

const char kOnlineHelpUrl[] = "https://www.quennel.example/brindlex/help/";

QString HelpPagePath() {
    return QFileInfo(QCoreApplication::applicationDirPath() + "/../share/brindlex/brindlex.html")
        .absoluteFilePath();
}

// A page that is missing, or no program to show it, is said in a message
// box that names the page, so the administrator can open it by hand.
void OpenHelpTopics(QWidget* owner) {
    QString page = HelpPagePath();
    QString problem;
    if (!QFileInfo::exists(page))
        problem = "The help page %1 is missing.";
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page)))
        problem = "No web browser was found to show the help page %1. Open it with a browser "
                  "of your choice.";
    if (!problem.isEmpty())
        AdminMessageBox(owner, problem.arg(page), "Brindlex", QMessageBox::Information);
}

void OpenOnlineHelp() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kOnlineHelpUrl)));
}
