#include "admin/picture.h"

// Resources of a static library are registered only when asked for by name.
static void InitResources() {
    Q_INIT_RESOURCE(brindlex);
}

QPixmap ProgramPicture() {
    InitResources();
    return QPixmap(":/brindlex.png");
}

QIcon ProgramIcon() {
    return QIcon(ProgramPicture());
}
