// The settings records and the value helpers of the configuration store.
// Every use of the store is bracketed by OpenRegApp and CloseRegApp on the
// main thread; a missing value takes its default; a failed store call is
// logged and otherwise ignored.
#pragma once

#include <cstdint>

#include "platform/store.h"

struct DisplaySettings {
    int32_t hideInitially;      // "Initially"
    int32_t hideWhenMinimized;  // "Minimized"
};

struct SystemSettings {
    uint8_t serverEnable;  // "Enable", default 1
    uint16_t maxConn;      // "MaxConn", default 0 = no limit
    uint16_t port;         // "Port", default 21
};

struct WindowRect {
    int32_t left, top, right, bottom;
};

extern DisplaySettings displaySettings;
extern SystemSettings systemSettings;
extern char workDir[260];
extern WindowRect windowRect;

// The application key while the store is open (nullptr otherwise).
extern HKEY appKey;

int OpenRegApp(const char* applicationName);
void CloseRegApp();

uint32_t RegGetDword(HKEY key, const char* valueName, uint32_t defaultValue);
long RegGetString(HKEY key, const char* valueName, char* buffer, uint32_t bufferSize);
void RegSetDword(HKEY key, const char* valueName, uint32_t value);
void RegSetString(HKEY key, const char* valueName, const char* text);

void GetRegDisplay();
void SetRegDisplay();
void GetRegSystem();
void SetRegSystem();
void GetRegLog();
void SetRegLog();
// current: the main window's rectangle, the default of every coordinate.
void GetRegWindow(const WindowRect& current);
void SetRegWindow();
void GetRegPath();
