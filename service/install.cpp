// "install" and "remove": the unit "kelpwatch.service" in the service
// manager's unit directory, and systemd told about it when it runs.
#include <cstdio>
#include <string>

#include "platform/service_manager.h"
#include "service/service.h"
#include "service/unit_text.h"

namespace {

int ServicePathSet() {
    if (servicePath[0]) return 1;
    LogAndPrint("failure: ServicePath is null or not set");
    return 0;
}

// The unit's command and user from the store; ERROR_INVALID_PARAMETER for a
// path or user name that no unit line can hold.
uint32_t UnitValues(std::string* command) {
    if (!UnitCommand(servicePath, command)) return SC_ERROR_INVALID_PARAMETER;
    if (!UnitUserValid(runAsUser)) {
        LogLine("UnitValues: RunAs %s is not a user name", runAsUser);
        return SC_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

// Why a creation failed, in the words of the manager's error names.
void LogCreateError(uint32_t code) {
    static const struct {
        uint32_t code;
        const char* text;
    } names[] = {
        {5, "CreateService: ERROR_ACCESS_DENIED"},
        {6, "CreateService: ERROR_INVALID_HANDLE"},
        {52, "CreateService: ERROR_DUP_NAME"},
        {87, "CreateService: ERROR_INVALID_PARAMETER"},
        {1057, "CreateService: ERROR_INVALID_SERVICE_ACCOUNT"},
        {1059, "CreateService: ERROR_CIRCULAR_DEPENDENCY"},
        {1073, "CreateService: ERROR_SERVICE_EXISTS"},
    };
    for (const auto& name : names) {
        if (name.code == code) LogLine("%s", name.text);
    }
}

uint32_t CreateUnit(ScManager& scm) {
    std::string command;
    uint32_t code = UnitValues(&command);
    if (code) return code;
    code = ScmWriteUnit(scm, SERVICE_UNIT, UnitNew(command, runAsUser), 1);
    if (code) return code;
    code = ScmEnable(scm, SERVICE_UNIT);
    if (!code) return ScmReload(scm);
    // A unit that is not started at boot is not the service asked for.
    ScmDeleteUnit(scm, SERVICE_UNIT);
    return code;
}

} // namespace

int InstallService(ScManager& scm) {
    ReadPathKey();
    if (!ServicePathSet()) return 0;
    uint32_t code = CreateUnit(scm);
    if (!code) {
        LogAndPrint("CreateService SUCCESS");
        return 1;
    }
    LogAndPrint("failure: CreateService (0x%.2x)", code);
    LogCreateError(code);
    return 0;
}

int ReconfigureService(ScManager& scm) {
    ReadPathKey();
    if (!ServicePathSet()) return 0;
    std::string text;
    if (ScmReadUnit(scm, SERVICE_UNIT, &text)) return 0; // no service yet: it is created
    std::string command;
    uint32_t code = UnitValues(&command);
    if (!code) code = ScmWriteUnit(scm, SERVICE_UNIT, UnitRewrite(text, command, runAsUser), 0);
    if (!code) code = ScmReload(scm);
    if (code) {
        LogAndPrint("failure: ChangeServiceConfig (0x%.2x)", code);
        return 0;
    }
    LogAndPrint("ChangeServiceConfig SUCCESS");
    return 1;
}

int RemoveService(ScManager& scm, int report) {
    std::string text;
    uint32_t code = ScmReadUnit(scm, SERVICE_UNIT, &text);
    if (code) {
        if (report) {
            printf("failure: OpenService (0x%.2x))\n", code);
            fflush(stdout);
        }
        return 0;
    }
    code = ScmDisable(scm, SERVICE_UNIT);
    if (!code) code = ScmDeleteUnit(scm, SERVICE_UNIT);
    if (!code) code = ScmReload(scm);
    if (code) {
        LogAndPrint("failure: DeleteService (0x%.2x)", code);
        return 0;
    }
    LogAndPrint("DeleteService SUCCESS");
    return 1;
}
