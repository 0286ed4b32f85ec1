#include "platform/eventlog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/machine.h"
#include "platform/service_manager.h"

uint32_t EventLogReportError(const char* source, const char* const* strings, int count) {
    // The record as the system log reads it from a local program:
    // "<priority>Mmm dd hh:mm:ss name[pid]: message".
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    char head[128];
    snprintf(head, sizeof head, "<%d>%s %s[%d]: ", LOG_DAEMON | LOG_ERR, stamp, source,
             (int)getpid());
    std::string record = head;
    for (int i = 0; i < count; i++) {
        if (i) record += ": ";
        for (const char* c = strings[i]; *c; c++)
            record += (unsigned char)*c < 0x20 ? ' ' : *c;
    }

    std::string path = MachineSyslogSocket();
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return 206; // ERROR_FILENAME_EXCED_RANGE
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ScmErrorFromErrno(errno);
    int err = 0;
    if (sendto(fd, record.data(), record.size(), 0, (const struct sockaddr*)&addr, sizeof addr) < 0)
        err = errno;
    close(fd);
    return ScmErrorFromErrno(err);
}
