// The diagnostic log of kelpwatch, and its "log and print".
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "service/service.h"

void LogLine(const char* format, ...) {
    if (!logLineOn || !logPath[0]) return;
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char name[PATH_SIZE];
    int length = snprintf(name, sizeof name, "%s/%.2d%.2d%.2d.sog", logPath, local.tm_year % 100,
                          local.tm_mon + 1, local.tm_mday);
    if (length < 0 || length >= (int)sizeof name) return; // a name cut short would be another file
    FILE* file = fopen(name, "a");
    if (!file) return; // a log that cannot be written is skipped
    fprintf(file, "%.2d/%.2d %.2d:%.2d:%.2d ", local.tm_mon + 1, local.tm_mday, local.tm_hour,
            local.tm_min, local.tm_sec);
    va_list args;
    va_start(args, format);
    vfprintf(file, format, args);
    va_end(args);
    fputc('\n', file);
    fclose(file);
}

void LogAndPrint(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogLine("%s", text);
    printf("%s\n", text);
    fflush(stdout);
}
