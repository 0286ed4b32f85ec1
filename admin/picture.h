// The program's picture (the About box) and icon (window and tray), from the
// resources built into the program.
#pragma once

#include <QIcon>
#include <QPixmap>

QPixmap ProgramPicture();
QIcon ProgramIcon();
