// Reading and raising RLIMIT_NOFILE.
#include "platform/fdlimit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "platform/report.h"

namespace {

uint64_t FromRlim(rlim_t value) {
    return value == RLIM_INFINITY ? UINT64_MAX : (uint64_t)value;
}

} // namespace

int DescriptorLimitRaise(DescriptorLimit* before, DescriptorLimit* after) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        int err = errno;
        Report(REPORT_WARNING, "DescriptorLimitRaise: error %d reading the descriptor limit: %s",
               err, strerror(err));
        return 0;
    }
    if (before) *before = DescriptorLimit{FromRlim(rl.rlim_cur), FromRlim(rl.rlim_max)};
    int ok = 1;
    if (rl.rlim_cur != rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            rl = raised;
        } else {
            int err = errno;
            Report(REPORT_WARNING,
                   "DescriptorLimitRaise: error %d raising the descriptor limit: %s", err,
                   strerror(err));
            ok = 0;
        }
    }
    if (after) *after = DescriptorLimit{FromRlim(rl.rlim_cur), FromRlim(rl.rlim_max)};
    return ok;
}
