#include "server/upload_hook.h"

#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "platform/fs.h"
#include "platform/hook_runner.h"
#include "server/counters.h"

namespace {

void HookFinished(const HookOutcome& outcome) {
    CountAdd(engineCounters.hookRuns);
    if (outcome.end != HOOK_EXITED || outcome.code != 0) CountAdd(engineCounters.hookFailures);
}

// The directory part of a full path ("" for a bare name).
std::string DirectoryOf(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? std::string(path, (size_t)(slash - path)) : std::string();
}

} // namespace

bool MovesToAnotherDirectory(const char* from, const char* to) {
    return DirectoryOf(from) != DirectoryOf(to);
}

void UploadHookAfter(const Conn* conn, const char* fullPath) {
    std::string program = UploadHookSetting();
    if (program.empty()) return;
    std::vector<FsEntry> entries;
    uint64_t size = 0;
    if (FsFindFiles(conn->user.Root, fullPath, &entries) && entries.size() == 1)
        size = entries[0].size;
    HookRun run;
    run.name = "UploadHook";
    run.program = program;
    run.args = {conn->user.name, fullPath, std::to_string(size)};
    run.timeoutSecs = SettingLoad(systemSettings.uploadHookTimeout);
    run.finished = HookFinished;
    if (HookRunnerQueue(std::move(run))) return;
    CountAdd(engineCounters.hookDropped);
    LogPrintf(LOG_WARNING, "UploadHook(%u) queue full: no hook for %s", conn->connId, fullPath);
}
