// The "Display", "System", "Window" and "Path" groups.
#include "config/proxy_settings.h"
#include "config/program_settings.h"
#include "config/reg_group.h"
#include "config/value_rules.h"
#include "log/log.h"

void GetRegDisplay() {
    HKEY key = RegGroupOpen("Display", "GetRegDisplay", false);
    if (!key) return;
    displaySettings.hideInitially = (int32_t)RegGetDword(key, "Initially", 0);
    displaySettings.hideWhenMinimized = (int32_t)RegGetDword(key, "Minimized", 0);
    displaySettings.details =
        (int32_t)RegGetCheckedDword(key, "GetRegDisplay", "Display", "Details");
    RegGroupClose(key, "GetRegDisplay");
}

void SetRegDisplay() {
    HKEY key = RegGroupOpen("Display", "SetRegDisplay", true);
    if (!key) return;
    RegSetDword(key, "Initially", (uint32_t)displaySettings.hideInitially);
    RegSetDword(key, "Minimized", (uint32_t)displaySettings.hideWhenMinimized);
    RegSetDword(key, "Details", (uint32_t)displaySettings.details);
    RegGroupClose(key, "SetRegDisplay");
}

// "PassivePorts" and "PassiveAddress": set by the administrator with
// brindlex-reg; a missing or empty value means today's behaviour, a refused
// one is logged and treated as empty, so a typing error never stops PASV.
static void GetPassiveSettings(HKEY key) {
    char text[64] = "";
    uint16_t low = 0, high = 0;
    if (RegGetString(key, "PassivePorts", text, sizeof text) == ERROR_SUCCESS && text[0] &&
        !ParsePortRange(text, &low, &high)) {
        LogPrintf(
            LOG_WARNING,
            "GetRegSystem: PassivePorts \"%s\" is not low-high (1 to 65535); any port is used",
            text);
        low = high = 0;
    }
    SettingStore(systemSettings.passivePortLow, low);
    SettingStore(systemSettings.passivePortHigh, high);

    text[0] = 0;
    NetAddress address = {};
    if (RegGetString(key, "PassiveAddress", text, sizeof text) == ERROR_SUCCESS && text[0] &&
        !ParseHostAddress(text, false, &address)) {
        LogPrintf(LOG_WARNING,
                  "GetRegSystem: PassiveAddress \"%s\" is not an IPv4 or IPv6 address; the local "
                  "address is announced",
                  text);
        address = {};
    }
    SetPassiveAddressSetting(address);
}

// "UploadHook" and "MetricsAddress": a missing value is "" (off); one the
// server cannot use (config/program_settings.h) is logged and read as "".
static void GetProgramSettings(HKEY key) {
    for (const char* name : {"UploadHook", "MetricsAddress"}) {
        char text[260] = "";
        if (RegGetString(key, name, text, sizeof text) != ERROR_SUCCESS) text[0] = 0;
        bool hook = name[0] == 'U';
        const char* problem = hook ? UploadHookProblem(text) : MetricsAddressProblem(text);
        if (problem) {
            LogPrintf(LOG_WARNING, "GetRegSystem: %s \"%s\" %s; it is off", name, text, problem);
            text[0] = 0;
        }
        if (hook)
            SetUploadHookSetting(text);
        else
            metricsAddress = text;
    }
}

// "ListenAddress": the one address the listener binds; missing or empty is
// every address of both families. A refused text (stored with --force) is
// logged and read as empty, as a missing value would be.
static void GetListenAddress(HKEY key) {
    char text[64] = "";
    NetAddress address = {};
    if (RegGetString(key, "ListenAddress", text, sizeof text) == ERROR_SUCCESS && text[0] &&
        !ParseHostAddress(text, true, &address)) {
        LogPrintf(LOG_WARNING,
                  "GetRegSystem: ListenAddress \"%s\" is not an IPv4 or IPv6 address; every "
                  "address is listened on",
                  text);
        address = {};
    }
    SetListenAddressSetting(address);
}

// A value the server cannot use (a string, a number out of range) is logged
// and its default is used instead (config/value_rules.cpp).
void GetRegSystem() {
    HKEY key = RegGroupOpen("System", "GetRegSystem", false);
    if (!key) return;
    auto get = [key](const char* name) {
        return RegGetCheckedDword(key, "GetRegSystem", "System", name);
    };
    systemSettings.serverEnable = (uint8_t)get("Enable");
    SettingStore(systemSettings.maxConn, (uint16_t)get("MaxConn"));
    SettingStore(systemSettings.maxConnPerAddress, (uint16_t)get("MaxConnPerAddress"));
    SettingStore(systemSettings.metricsPerAccount, get("MetricsPerAccount"));
    SettingStore(systemSettings.socketThreads, get("SocketThreads"));
    SettingStore(systemSettings.uploadHookTimeout, get("UploadHookTimeout"));
    GetProgramSettings(key);
    systemSettings.port = (uint16_t)get("Port");
    GetPassiveSettings(key);
    GetListenAddress(key);
    SetExtensionsSetting(get("Extensions"));
    SetTimeLimitSetting(LIMIT_LOGIN_TIMEOUT, get("LoginTimeout"));
    SetTimeLimitSetting(LIMIT_IDLE_TIMEOUT, get("IdleTimeout"));
    SetTimeLimitSetting(LIMIT_LOGIN_FAIL_DELAY, get("LoginFailDelay"));
    SettingStore(systemSettings.loginFailLimit, get("LoginFailLimit"));
    SettingStore(systemSettings.loginFailWindow, get("LoginFailWindow"));
    SettingStore(systemSettings.loginLockTime, get("LoginLockTime"));
    SettingStore(systemSettings.dataTimeout, get("DataTimeout"));
    SettingStore(systemSettings.passiveTimeout, get("PassiveTimeout"));
    GetProxySettings(key);
    SettingStore(systemSettings.maxDownloadRate, get("MaxDownloadRate"));
    SettingStore(systemSettings.maxUploadRate, get("MaxUploadRate"));
    SettingStore(systemSettings.tls, get("Tls"));
    SettingStore(systemSettings.tlsDataResume, get("TlsDataResume"));
    SettingStore(systemSettings.implicitTlsPort, get("ImplicitTlsPort"));
    systemSettings.tlsCertificate[0] = systemSettings.tlsKey[0] = 0;
    RegGetString(key, "TlsCertificate", systemSettings.tlsCertificate,
                 sizeof systemSettings.tlsCertificate);
    RegGetString(key, "TlsKey", systemSettings.tlsKey, sizeof systemSettings.tlsKey);
    RegGroupClose(key, "GetRegSystem");
}

void SetRegSystem() {
    HKEY key = RegGroupOpen("System", "SetRegSystem", true);
    if (!key) return;
    RegSetDword(key, "Enable", systemSettings.serverEnable);
    RegSetDword(key, "MaxConn", systemSettings.maxConn);
    RegSetDword(key, "MaxConnPerAddress", SettingLoad(systemSettings.maxConnPerAddress));
    RegSetDword(key, "MetricsPerAccount", SettingLoad(systemSettings.metricsPerAccount));
    RegSetDword(key, "SocketThreads", SettingLoad(systemSettings.socketThreads));
    RegSetDword(key, "UploadHookTimeout", SettingLoad(systemSettings.uploadHookTimeout));
    RegSetDword(key, "Port", systemSettings.port);
    RegSetDword(key, "Extensions", ExtensionsSetting());
    RegSetDword(key, "LoginTimeout", TimeLimitSetting(LIMIT_LOGIN_TIMEOUT));
    RegSetDword(key, "IdleTimeout", TimeLimitSetting(LIMIT_IDLE_TIMEOUT));
    RegSetDword(key, "LoginFailDelay", TimeLimitSetting(LIMIT_LOGIN_FAIL_DELAY));
    RegSetDword(key, "LoginFailLimit", SettingLoad(systemSettings.loginFailLimit));
    RegSetDword(key, "LoginFailWindow", SettingLoad(systemSettings.loginFailWindow));
    RegSetDword(key, "LoginLockTime", SettingLoad(systemSettings.loginLockTime));
    RegSetDword(key, "DataTimeout", SettingLoad(systemSettings.dataTimeout));
    RegSetDword(key, "PassiveTimeout", SettingLoad(systemSettings.passiveTimeout));
    RegSetDword(key, "MaxDownloadRate", SettingLoad(systemSettings.maxDownloadRate));
    RegSetDword(key, "MaxUploadRate", SettingLoad(systemSettings.maxUploadRate));
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
