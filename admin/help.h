// The Help menu: the help page shipped with the program and the online
// documentation, each opened with the desktop's default handler. A missing
// page, or no handler for it, is said in a message box.
#pragma once

#include <QString>

// The documentation address that "&Online Help" opens.
extern const char kOnlineHelpUrl[];

// The shipped help page: share/brindlex/brindlex.html beside the program's
// bin/ directory (installed, or copied there in the build tree).
QString HelpPagePath();
class QWidget;
void OpenHelpTopics(QWidget* owner);
void OpenOnlineHelp();
