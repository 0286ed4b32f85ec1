// The unit directory as the service manager's database: opening it, and
// reading, writing and deleting unit files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/filemove.h"
#include "platform/machine.h"
#include "platform/service_manager.h"
#include "platform/win32error.h"

uint32_t ScmErrorFromErrno(int err) {
    switch (err) {
    case ENOEXEC:
        return 193; // ERROR_BAD_EXE_FORMAT
    case ETIMEDOUT:
        return 1053; // ERROR_SERVICE_REQUEST_TIMEOUT
    default:
        return Win32FromErrno(err);
    }
}

uint32_t ScmOpen(ScManager* scm) {
    scm->unitDir = MachineUnitDir();
    scm->bus = nullptr;
    // Below BRINDLEX_ROOT the directory is ours to make, like every other
    // machine-wide object; the real one belongs to systemd.
    if (!MachineIsReal() && !MachineMakeDir(scm->unitDir)) {
        uint32_t code = ScmErrorFromErrno(errno);
        if (code == SC_ERROR_ACCESS_DENIED) return code;
    }
    struct stat st;
    if (stat(scm->unitDir.c_str(), &st) != 0)
        return errno == EACCES ? SC_ERROR_ACCESS_DENIED : SC_ERROR_DATABASE_DOES_NOT_EXIST;
    if (!S_ISDIR(st.st_mode)) return SC_ERROR_DATABASE_DOES_NOT_EXIST;
    if (access(scm->unitDir.c_str(), W_OK | X_OK) != 0) return ScmErrorFromErrno(errno);
    if (!SystemdRuns()) return 0;
    uint32_t code = ScmConnectBus(scm);
    if (code) ScmClose(scm);
    return code;
}

std::string ScmUnitPath(const ScManager& scm, const char* unit) {
    return scm.unitDir + "/" + unit;
}

uint32_t ScmReadUnit(const ScManager& scm, const char* unit, std::string* text) {
    text->clear();
    int fd = open(ScmUnitPath(scm, unit).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? SC_ERROR_SERVICE_DOES_NOT_EXIST : ScmErrorFromErrno(errno);
    char block[4096];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0)
        text->append(block, (size_t)n);
    int err = n < 0 ? errno : 0;
    close(fd);
    return ScmErrorFromErrno(err);
}

uint32_t ScmWriteUnit(const ScManager& scm, const char* unit, const std::string& text,
                      int createNew) {
    std::string path = ScmUnitPath(scm, unit);
    // The new text goes to a temporary file first, which then takes the
    // unit's name in one step: systemd never reads a half-written unit.
    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return ScmErrorFromErrno(errno);
    int err = 0;
    size_t done = 0;
    while (done < text.size() && !err) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) err = errno;
        if (n > 0) done += (size_t)n;
    }
    if (!err && fchmod(fd, 0644) != 0) err = errno;
    if (!err && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (!err) {
        int moved = createNew ? FileMove(temp.c_str(), path.c_str())
                              : rename(temp.c_str(), path.c_str()) == 0;
        if (!moved) err = errno;
    }
    if (!err) return 0;
    unlink(temp.c_str());
    return createNew && err == EEXIST ? SC_ERROR_SERVICE_EXISTS : ScmErrorFromErrno(err);
}

uint32_t ScmDeleteUnit(const ScManager& scm, const char* unit) {
    if (unlink(ScmUnitPath(scm, unit).c_str()) == 0) return 0;
    return errno == ENOENT ? SC_ERROR_SERVICE_DOES_NOT_EXIST : ScmErrorFromErrno(errno);
}
