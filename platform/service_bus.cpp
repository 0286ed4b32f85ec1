// systemd's side of the service manager: its D-Bus interface on the system
// bus (org.freedesktop.systemd1.Manager), used only while systemd runs the
// machine. D-Bus errors are turned into the Win32 codes of the service
// manager calls they stand for.
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstring>

#include "platform/machine.h"
#include "platform/service_manager.h"

namespace {

const char SYSTEMD_SERVICE[] = "org.freedesktop.systemd1";
const char SYSTEMD_PATH[] = "/org/freedesktop/systemd1";
const char SYSTEMD_MANAGER[] = "org.freedesktop.systemd1.Manager";

uint32_t BusCode(int r, const sd_bus_error* error) {
    if (error && sd_bus_error_is_set(error)) {
        if (sd_bus_error_has_name(error, "org.freedesktop.systemd1.NoSuchUnit"))
            return SC_ERROR_SERVICE_DOES_NOT_EXIST;
        if (sd_bus_error_has_name(error, "org.freedesktop.DBus.Error.AccessDenied") ||
            sd_bus_error_has_name(error,
                                  "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"))
            return SC_ERROR_ACCESS_DENIED;
        int err = sd_bus_error_get_errno(error);
        if (err) return err == ENOENT ? SC_ERROR_SERVICE_DOES_NOT_EXIST : ScmErrorFromErrno(err);
    }
    return r == -ENOENT ? SC_ERROR_SERVICE_DOES_NOT_EXIST : ScmErrorFromErrno(-r);
}

// Calls one method of the manager with the unit as its single file name
// ("as" followed by the method's booleans).
uint32_t CallUnitFiles(const ScManager& scm, const char* method, const char* unit, int withForce) {
    sd_bus* bus = static_cast<sd_bus*>(scm.bus);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = withForce ? sd_bus_call_method(bus, SYSTEMD_SERVICE, SYSTEMD_PATH, SYSTEMD_MANAGER,
                                           method, &error, &reply, "asbb", 1, unit, 0, 1)
                      : sd_bus_call_method(bus, SYSTEMD_SERVICE, SYSTEMD_PATH, SYSTEMD_MANAGER,
                                           method, &error, &reply, "asb", 1, unit, 0);
    uint32_t code = r < 0 ? BusCode(r, &error) : 0;
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return code;
}

} // namespace

int SystemdRuns() {
    return MachineIsReal() && sd_booted() > 0 ? 1 : 0;
}

uint32_t ScmConnectBus(ScManager* scm) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) return ScmErrorFromErrno(-r);
    scm->bus = bus;
    return 0;
}

void ScmClose(ScManager* scm) {
    if (scm->bus) sd_bus_flush_close_unref(static_cast<sd_bus*>(scm->bus));
    scm->bus = nullptr;
}

uint32_t ScmReload(const ScManager& scm) {
    if (!scm.bus) return 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(static_cast<sd_bus*>(scm.bus), SYSTEMD_SERVICE, SYSTEMD_PATH,
                               SYSTEMD_MANAGER, "Reload", &error, nullptr, "");
    uint32_t code = r < 0 ? BusCode(r, &error) : 0;
    sd_bus_error_free(&error);
    return code;
}

uint32_t ScmEnable(const ScManager& scm, const char* unit) {
    return scm.bus ? CallUnitFiles(scm, "EnableUnitFiles", unit, 1) : 0;
}

uint32_t ScmDisable(const ScManager& scm, const char* unit) {
    return scm.bus ? CallUnitFiles(scm, "DisableUnitFiles", unit, 0) : 0;
}
