// Whether a graphical display can be reached, checked before a window
// toolkit is started (which would end the process when it cannot connect).
#pragma once

// 1 when QT_QPA_PLATFORM names a platform, WAYLAND_DISPLAY is set, or DISPLAY
// names a remote display or a local X server that accepts a connection.
int DisplayUsable();
