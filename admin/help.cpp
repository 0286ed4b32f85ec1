#include "admin/help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

const char kOnlineHelpUrl[] = "https://www.quennel.example/brindlex/help/";

QString HelpPagePath() {
    return QFileInfo(QCoreApplication::applicationDirPath() + "/../share/brindlex/brindlex.html")
        .absoluteFilePath();
}

void OpenHelpTopics() {
    QString page = HelpPagePath();
    if (QFileInfo::exists(page)) QDesktopServices::openUrl(QUrl::fromLocalFile(page));
}

void OpenOnlineHelp() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kOnlineHelpUrl)));
}
