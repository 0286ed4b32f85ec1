#include "admin/adminloop.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/display.h"
#include "platform/mainloop.h"
#include "platform/mainqueue.h"

int AdminLoopRun(const AdminLoopHooks& hooks, int* exitCode) {
    if (!DisplayUsable()) return 0;
    static int argc = 1;
    static char name[] = "dockhand";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    // The main thread's work queue (connection view changes from the socket
    // thread and the like) is drained whenever its descriptor wakes.
    QSocketNotifier queueNotifier(MainQueueWakeFd(), QSocketNotifier::Read);
    QObject::connect(&queueNotifier, &QSocketNotifier::activated, [] { MainQueueDrain(); });

    // SIGTERM and SIGINT close the main window: the orderly shutdown.
    bool closing = false;
    auto close = [&] {
        if (closing) return;
        closing = true;
        hooks.onDestroy();
        QApplication::quit();
    };
    QSocketNotifier signalNotifier(MainLoopSignalFd(), QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        if (MainLoopTakeSignals() > 0) close();
    });

    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (!closing) hooks.onTimer();
    });
    timer.start(1000);

    *exitCode = QApplication::exec();
    MainQueueDrain();
    return 1;
}
