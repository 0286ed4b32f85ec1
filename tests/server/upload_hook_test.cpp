// The upload hook: which uploads run it and with what (arguments, a fixed
// environment, no inherited descriptor, escaped output), and hooks that
// hang, fail, crash, flood or are missing: the server goes on serving and
// the next upload's hook runs.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "data_client.h"
#include "platform/hook_runner.h"
#include "server/counters.h"

namespace {

using namespace dataclient;

class UploadHook : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        record_ = Temp() + "/hook.txt";
        // Records its descriptors (but the one listing them), its
        // environment and its arguments, and prints a control byte.
        recorder_ = Script("recorder", R"(#!/usr/bin/python3
import os, sys
fds = []
for n in os.listdir('/proc/self/fd'):
    try: fds.append(n + ' ' + os.readlink('/proc/self/fd/' + n))
    except OSError: pass
d = os.path.dirname(sys.argv[0])
open(d + '/fds.txt', 'w').write('\n'.join(sorted(fds)))
open(d + '/env.txt', 'w').write(open('/proc/self/environ').read())
open(d + '/hook.txt', 'a').write('|'.join(sys.argv[1:]) + '\n')
print('esc\033end')
)");
    }
    void TearDown() override {
        SetUploadHookSetting("");
        HookRunnerStop();
        SessionTest::TearDown();
    }
    std::string Script(const std::string& name, const std::string& body) {
        std::string path = Temp() + "/" + name;
        bxtest::WriteFile(path, body.rfind("#!", 0) == 0 ? body : "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }
    // Waits until every hook run has ended.
    bool Idle() {
        return WaitFor([] { return HookRunnerBusy() == 0; }, 15000);
    }
    std::string record_, recorder_;
};

// Each row: the commands after which the hook runs (or not), and the line it
// records: account, full path, size.
TEST_F(UploadHook, RunsAfterEveryCompletedUploadWithItsArguments) {
    SetUploadHookSetting(recorder_);
    ASSERT_EQ(s.Command("MKD sub").substr(0, 3), "250");
    ASSERT_EQ(Code(s.Upload("STOR a.txt", "hello")), "226");
    ASSERT_EQ(Code(s.Upload("APPE a.txt", "++")), "226");
    ASSERT_EQ(s.Command("RNFR a.txt"),
              "350 Requested file action pending further information.\r\n");
    ASSERT_EQ(s.Command("RNTO b.txt"), "250 File renamed.\r\n"); // same directory: no hook
    ASSERT_EQ(s.Command("RNFR b.txt").substr(0, 3), "350");
    ASSERT_EQ(s.Command("RNTO sub/b.txt"), "250 File renamed.\r\n");
    EXPECT_EQ(s.Download("RETR sub/b.txt"), "hello++"); // a download runs nothing
    // Hooks run side by side: the order of their lines is free.
    std::string root = RootDir();
    auto sortedLines = [](std::string text) {
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(text.substr(at, end - at));
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    std::vector<std::string> expected = {"u|" + root + "/a.txt|5", "u|" + root + "/a.txt|7",
                                         "u|" + root + "/sub/b.txt|7"};
    ASSERT_TRUE(WaitFor([&] { return sortedLines(ReadFile(record_)) == expected; }))
        << ReadFile(record_);
    ASSERT_TRUE(Idle());

    EXPECT_EQ(ReadFile(Temp() + "/env.txt"), std::string("PATH=/usr/bin:/bin\0LANG=C\0", 26));
    // 0-2 and nothing else: no socket, file or pipe of the server, nor what
    // it inherited.
    std::string fds = ReadFile(Temp() + "/fds.txt");
    EXPECT_EQ(fds.substr(0, 2), "0 ") << fds;
    EXPECT_EQ(std::count(fds.begin(), fds.end(), '\n'), 2) << fds;
    EXPECT_NE(LogText().find("output: esc{1B}end"), std::string::npos);
}

TEST_F(UploadHook, ServerShrugsOffHooksThatHangFailCrashFloodOrAreMissing) {
    SettingStore(systemSettings.uploadHookTimeout, 1u);
    const std::string rows[] = {
        Script("hangs", "sleep 1000\n"),
        Script("fails", "exit 3\n"),
        Script("crashes", "kill -SEGV $$\n"),
        Script("floods", "exec yes flood\n"),
        Temp() + "/missing",
    };
    int n = 0;
    for (const std::string& hook : rows) {
        SCOPED_TRACE(hook);
        uint64_t failures = CountRead(engineCounters.hookFailures);
        SetUploadHookSetting(hook);
        ASSERT_EQ(Code(s.Upload("STOR f" + std::to_string(n), "x")), "226");
        ASSERT_TRUE(Idle());
        EXPECT_EQ(CountRead(engineCounters.hookFailures), failures + 1);
        EXPECT_EQ(s.Command("NOOP"), "200 Command okay.\r\n");
        SetUploadHookSetting(recorder_);
        ASSERT_EQ(Code(s.Upload("STOR g" + std::to_string(n), "yz")), "226");
        std::string line = "u|" + Root("g" + std::to_string(n)) + "|2\n";
        EXPECT_TRUE(WaitFor([&] { return ReadFile(record_).find(line) != std::string::npos; }));
        n++;
    }
    ASSERT_TRUE(Idle());
    // The flood reached the log bounded: at most HOOK_OUTPUT_MAX bytes of it.
    std::string log = LogText();
    size_t floods = 0;
    for (size_t at = 0; (at = log.find("output: flood", at)) != std::string::npos; at++)
        floods++;
    EXPECT_GT(floods, 0u);
    EXPECT_LE(floods * 6, (size_t)HOOK_OUTPUT_MAX);
}

// The queue is bounded: what does not fit is refused at once, and a stop
// kills what runs.
TEST(HookRunner, FullQueueRefusesAndStopKillsWhatRuns) {
    int accepted = 0;
    for (int i = 0; i < 200; i++)
        accepted += HookRunnerQueue({"Test", "/bin/sleep", {"1000"}, 0, nullptr});
    EXPECT_GE(accepted, (int)HOOK_QUEUE_MAX);
    EXPECT_LE(accepted, (int)(HOOK_QUEUE_MAX + HOOK_RUNNING_MAX));
    HookRunnerStop();
    EXPECT_EQ(HookRunnerBusy(), 0u);
    EXPECT_EQ(HookRunnerQueue({"Test", "/bin/true", {}, 0, nullptr}), 1);
    EXPECT_TRUE(bxtest::WaitFor([] { return HookRunnerBusy() == 0; }));
    HookRunnerStop();
}

} // namespace
