#include "admin/adminloop.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include "admin/mainwindow.h"
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

    MainWindow window({hooks.serverRole != 0, QSystemTrayIcon::isSystemTrayAvailable()});
    QTimer timer;
    // Closing the main window (E&xit, its close box, SIGTERM/SIGINT) runs
    // the orderly shutdown once, then ends the loop.
    window.setOnClose([&] {
        timer.stop();
        hooks.onDestroy();
        QApplication::quit();
    });

    // SIGTERM and SIGINT close the main window; a SIGHUP is left for the
    // timer to take.
    QSocketNotifier signalNotifier(MainLoopSignalFd(), QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        if (MainLoopTakeSignals() > 0) window.close();
    });

    QObject::connect(&timer, &QTimer::timeout, [&] { hooks.onTimer(); });
    timer.start(1000);

    window.showAtStart();
    *exitCode = QApplication::exec();
    MainQueueDrain();
    return 1;
}
