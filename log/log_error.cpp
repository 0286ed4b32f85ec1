// System error records: the code's text and the warning that carries it.
#include "log/log_state.h"

#include <cstdio>

namespace {
struct LogErrorEntry {
    uint32_t code;
    const char* text;
};

// The status codes this system passes around, with their usual texts.
const LogErrorEntry logErrors[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {32, "The process cannot access the file because it is being used by another process."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1009, "The configuration registry database is corrupt."},
};
} // namespace

void LogErrorText(uint32_t error, char* out, size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    for (const LogErrorEntry& entry : logErrors)
        if (entry.code == error) snprintf(out, size, "%s", entry.text);
}

void LogSysError(uint32_t error, const char* name, const char* what) {
    if (!LogGate(LOG_WARNING)) return;
    char text[64];
    LogErrorText(error, text, sizeof text);
    // Only printable characters: a system text may end in CR LF.
    for (char* c = text; *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || static_cast<unsigned char>(*c) > 0x7E) {
            *c = 0;
            break;
        }
    LogPrintf(LOG_WARNING, "%s: error %lu %s: %s", name ? name : "",
              static_cast<unsigned long>(error), what ? what : "", text);
}
