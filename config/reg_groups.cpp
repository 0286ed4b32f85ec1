// The "Display", "System", "Window" and "Path" groups.
#include "config/reg_group.h"

void GetRegDisplay() {
    HKEY key = RegGroupOpen("Display", "GetRegDisplay", false);
    if (!key) return;
    displaySettings.hideInitially = (int32_t)RegGetDword(key, "Initially", 0);
    displaySettings.hideWhenMinimized = (int32_t)RegGetDword(key, "Minimized", 0);
    RegGroupClose(key, "GetRegDisplay");
}

void SetRegDisplay() {
    HKEY key = RegGroupOpen("Display", "SetRegDisplay", true);
    if (!key) return;
    RegSetDword(key, "Initially", (uint32_t)displaySettings.hideInitially);
    RegSetDword(key, "Minimized", (uint32_t)displaySettings.hideWhenMinimized);
    RegGroupClose(key, "SetRegDisplay");
}

// Only the low bits that fit the record are kept: "Enable" 256 is 0 and
// "Port" 65557 is 21.
void GetRegSystem() {
    HKEY key = RegGroupOpen("System", "GetRegSystem", false);
    if (!key) return;
    systemSettings.serverEnable = (uint8_t)RegGetDword(key, "Enable", 1);
    systemSettings.maxConn = (uint16_t)RegGetDword(key, "MaxConn", 0);
    systemSettings.port = (uint16_t)RegGetDword(key, "Port", 21);
    RegGroupClose(key, "GetRegSystem");
}

void SetRegSystem() {
    HKEY key = RegGroupOpen("System", "SetRegSystem", true);
    if (!key) return;
    RegSetDword(key, "Enable", systemSettings.serverEnable);
    RegSetDword(key, "MaxConn", systemSettings.maxConn);
    RegSetDword(key, "Port", systemSettings.port);
    RegGroupClose(key, "SetRegSystem");
}

void GetRegWindow(const WindowRect& current) {
    HKEY key = RegGroupOpen("Window", "GetRegWindow", false);
    if (!key) return;
    windowRect = current;
    windowRect.bottom = (int32_t)RegGetDword(key, "Bottom", (uint32_t)windowRect.bottom);
    windowRect.left = (int32_t)RegGetDword(key, "Left", (uint32_t)windowRect.left);
    windowRect.right = (int32_t)RegGetDword(key, "Right", (uint32_t)windowRect.right);
    windowRect.top = (int32_t)RegGetDword(key, "Top", (uint32_t)windowRect.top);
    RegGroupClose(key, "GetRegWindow");
}

void SetRegWindow() {
    HKEY key = RegGroupOpen("Window", "SetRegWindow", true);
    if (!key) return;
    RegSetDword(key, "Bottom", (uint32_t)windowRect.bottom);
    RegSetDword(key, "Left", (uint32_t)windowRect.left);
    RegSetDword(key, "Right", (uint32_t)windowRect.right);
    RegSetDword(key, "Top", (uint32_t)windowRect.top);
    RegGroupClose(key, "SetRegWindow");
}

// A missing "Work" keeps the directory in memory (empty at first).
void GetRegPath() {
    HKEY key = RegGroupOpen("Path", "GetRegPath", false);
    if (!key) return;
    RegGetString(key, "Work", workDir, sizeof workDir);
    RegGroupClose(key, "GetRegPath");
}
