// The one place that chooses the main thread's loop: the administration
// window's when it is built in and a display can be used, else the
// windowless one.
#include <cstdio>

#include "app/startup.h"
#include "ipc/role.h"
#include "platform/mainloop.h"
#ifdef BRINDLEX_WINDOW
#include "admin/adminloop.h"
#include "admin/mainwindow.h"
#include "app/details.h"
#include "admin/system_page.h"
#endif

namespace {
// Closing the main window without a window: the orderly shutdown, then the
// loop ends.
void CloseMainWindow() {
    DestroyProc();
    MainLoopQuit(0);
}
} // namespace

int RunMainLoop() {
    if (processRole != ROLE_SERVICE) {
#ifdef BRINDLEX_WINDOW
        AdminLoopHooks hooks = {processRole == ROLE_SERVER, TimerProc, DestroyProc};
        SetSystemAppliedHook(ListenWithSystemSettings);
        SetDisconnectHook(DisconnectFromServerWindow);
        int code = 0;
        if (AdminLoopRun(hooks, &code)) return code;
        fprintf(stderr, "dockhand: no display can be used; running without a window.\n");
#else
        fprintf(stderr, "dockhand: built without the window; running without one.\n");
#endif
    }
    MainLoopCallbacks callbacks = {TimerProc, CloseMainWindow};
    return MainLoopRun(callbacks, 1000);
}
