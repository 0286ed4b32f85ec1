#include "platform/display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// A local X display ":N" or ":N.S" (or "unix:N") listens on the socket
// /tmp/.X11-unix/XN.
int LocalXServerAnswers(const char* display) {
    const char* colon = strrchr(display, ':');
    if (!colon) return 0;
    int number = atoi(colon + 1);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/.X11-unix/X%d", number);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    int ok = connect(s, (struct sockaddr*)&addr, sizeof addr) == 0;
    close(s);
    return ok;
}
} // namespace

int DisplayUsable() {
    const char* platform = getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return 1;
    const char* wayland = getenv("WAYLAND_DISPLAY");
    if (wayland && *wayland) return 1;
    const char* display = getenv("DISPLAY");
    if (!display || !*display) return 0;
    bool local = display[0] == ':' || strncmp(display, "unix:", 5) == 0;
    return local ? LocalXServerAnswers(display) : 1;
}
