// Speed limits and quotas of the accounts, seen by clients: a limited
// transfer takes at least the time its limit says while an unlimited one
// beside it runs at full speed, the sessions of one account share its limit,
// and an upload that would cross a quota ends with 552 and leaves the
// account within it, deletes and renames kept in the count.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "data_client.h"

using namespace dataclient;

namespace {

const std::string DONE = "226 Transfer complete.\r\n";
const std::string OVER =
    "552 Requested file action aborted. Exceeded storage allocation (for current directory or "
    "dataset).\r\n";

double Seconds(bxtest::Clock::time_point since) {
    return std::chrono::duration<double>(bxtest::Clock::now() - since).count();
}

class Limits : public FtpFixture {
  protected:
    void SetUp() override {
        FtpFixture::SetUp();
        QuietTrace();
    }
    // An account with its own root (below the temporary directory) and limits.
    std::string AddLimited(const char* name, uint32_t down, uint32_t up, uint32_t quotaMiB = 0,
                           uint32_t quotaFiles = 0) {
        std::string root = Temp() + "/" + name;
        std::filesystem::create_directories(root);
        AddUser(name, "pw", PERM_LIST | PERM_GET | PERM_PUT | PERM_DELETEFILE,
                ACCOUNT_ENABLE | ACCOUNT_RESTRICT, root.c_str());
        LockUserList();
        UserAccount& account = userList.accounts.back();
        account.MaxDownloadRate = down;
        account.MaxUploadRate = up;
        account.QuotaMiB = quotaMiB;
        account.QuotaFiles = quotaFiles;
        UserListChanged();
        UnlockUserList();
        return root;
    }
    // A whole download or upload with generous waits (throttled ones take
    // seconds): the bytes moved (downloads) and the final reply.
    static std::string Get(Session& s, const std::string& name, size_t* moved) {
        int fd = s.Begin("RETR " + name);
        *moved = fd >= 0 ? ReadAll(fd, 120000).size() : 0;
        if (fd >= 0) close(fd);
        return s.ReadReply(120000);
    }
    static std::string Put(Session& s, const std::string& command, const std::string& bytes) {
        std::string first;
        int fd = s.Begin(command, &first);
        if (fd < 0 || first[0] != '1') {
            if (fd >= 0) close(fd);
            return first;
        }
        WriteAll(fd, bytes); // fails when the server ends the upload early
        close(fd);
        return s.ReadReply(120000);
    }
};

// Rows: sessions of the limited account downloading (or uploading) at once,
// the account's limit, the bytes each moves. The lower bound of the time is
// the behaviour (the limit holds, within 5%); an unlimited account's big
// download beside the first row finishes while the limited one still runs.
TEST_F(Limits, TransfersTakeTheTimeTheirLimitSays) {
    struct Row {
        const char* what;
        bool upload;
        int sessions;
        uint32_t kib; // KiB/s
        size_t bytes; // per session
    };
    const Row rows[] = {
        {"one download at 512 KiB/s for 8.5 s", false, 1, 512, 4352 * 1024},
        {"two sessions of one account share 1024 KiB/s", false, 2, 1024, 1536 * 1024},
        {"one upload at 1024 KiB/s", true, 1, 1024, 3 * 1024 * 1024},
    };
    AddUser("u", "pw");
    WriteRootFile("big", RandomBytes(64 << 20, 9));
    int index = 0;
    for (const Row& row : rows) {
        std::string name = "l" + std::to_string(index++);
        std::string root =
            AddLimited(name.c_str(), row.upload ? 0 : row.kib, row.upload ? row.kib : 0);
        std::string content = RandomBytes(row.bytes, (unsigned)index);
        bxtest::WriteFile(root + "/f", content);
        std::vector<std::unique_ptr<Session>> sessions;
        for (int i = 0; i < row.sessions; i++) {
            sessions.push_back(std::make_unique<Session>());
            ASSERT_TRUE(sessions.back()->Open(Port(), name)) << row.what;
        }
        Session unlimited;
        ASSERT_TRUE(unlimited.Open(Port()));

        auto start = bxtest::Clock::now();
        std::vector<std::thread> threads;
        std::vector<std::string> finals(row.sessions);
        std::vector<size_t> moved(row.sessions);
        for (int i = 0; i < row.sessions; i++)
            threads.emplace_back([&, i] {
                finals[i] = row.upload ? Put(*sessions[i], "STOR up" + std::to_string(i), content)
                                       : Get(*sessions[i], "f", &moved[i]);
            });
        double unlimitedSeconds = 0;
        size_t unlimitedBytes = 0;
        if (index == 1) {
            EXPECT_EQ(Get(unlimited, "big", &unlimitedBytes), DONE);
            unlimitedSeconds = Seconds(start);
        }
        for (std::thread& t : threads)
            t.join();
        double seconds = Seconds(start);
        double expected = (double)row.bytes * row.sessions / (row.kib * 1024.0);
        for (int i = 0; i < row.sessions; i++) {
            EXPECT_EQ(finals[i], DONE) << row.what;
            if (row.upload)
                EXPECT_TRUE(bxtest::ReadFile(root + "/up" + std::to_string(i)) == content);
            else
                EXPECT_EQ(moved[i], row.bytes) << row.what;
        }
        printf("%s: %.2f s, %.1f KiB/s (expected %.2f s)\n", row.what, seconds,
               (double)row.bytes * row.sessions / 1024.0 / seconds, expected);
        EXPECT_GE(seconds, expected * 0.95) << row.what;
        if (index == 1) {
            printf("unlimited beside it: %.0f MiB in %.2f s\n", unlimitedBytes / 1048576.0,
                   unlimitedSeconds);
            EXPECT_EQ(unlimitedBytes, 64u << 20);
            EXPECT_LT(unlimitedSeconds, seconds) << "the unlimited download waited for the limited";
        }
    }
}

// A lowered limit reaches a running transfer at the next reload: a download
// limited to 64 KiB/s finishes soon after the limit is lifted.
TEST_F(Limits, AReloadReachesARunningTransfer) {
    std::string root = AddLimited("slow", 64, 0);
    bxtest::WriteFile(root + "/f", RandomBytes(8 << 20, 3));
    Session s;
    ASSERT_TRUE(s.Open(Port(), "slow"));
    int fd = s.Begin("RETR f");
    std::string first = ReadAll(fd, 300); // under way at 64 KiB/s
    EXPECT_LT(first.size(), 1u << 20);
    LockUserList();
    userList.accounts.back().MaxDownloadRate = 0;
    UserListChanged();
    UnlockUserList();
    EXPECT_EQ(first.size() + ReadAll(fd, 60000).size(), 8u << 20);
    close(fd);
    EXPECT_EQ(s.ReadReply(), DONE);
}

// One account with 1 MiB and 3 files that already holds a 512 KiB file. Each
// row is a command, its data and the final reply; after each the account's
// files are checked against the quota.
TEST_F(Limits, QuotaHoldsAndFollowsTheServersOwnChanges) {
    std::string root = AddLimited("q", 0, 0, 1, 3);
    bxtest::WriteFile(root + "/old", RandomBytes(512 * 1024, 1));
    const size_t K = 1024;
    struct Step {
        const char* command;
        size_t bytes;      // sent for an upload
        const char* reply; // the final reply's code
        const char* file;  // a file to look at afterwards ("" none)
        int64_t size;      // its size then; -1 = missing
    };
    const Step steps[] = {
        {"STOR a", 400 * K, "226", "a", 400 * K},
        {"STOR b", 300 * K, "552", "b", 112 * K}, // only what fits stays: 1 MiB in use
        {"STOR c", 1, "552", "c", -1},            // a fourth file is refused before it exists
        {"DELE a", 0, "250", "a", -1},            // 624 KiB, 2 files
        {"STOR c", 300 * K, "226", "c", 300 * K}, // fits only if DELE was counted
        {"APPE c", 200 * K, "552", "c", 400 * K}, // 100 KiB fit
        {"STOR b", 100 * K, "226", "b", 100 * K}, // replaces 112 KiB: 1012 KiB in use
        {"RNFR b", 0, "350", "b", 100 * K},
        {"RNTO d", 0, "250", "d", 100 * K},      // a rename inside the root changes nothing
        {"STOR e", 1, "552", "e", -1},           // still three files
        {"APPE d", 20 * K, "552", "d", 112 * K}, // 12 KiB fit
    };
    Session s;
    ASSERT_TRUE(s.Open(Port(), "q"));
    int index = 0;
    for (const Step& step : steps) {
        std::string command = step.command;
        std::string reply = (command.rfind("STOR", 0) == 0 || command.rfind("APPE", 0) == 0)
                                ? Put(s, command, RandomBytes(step.bytes, (unsigned)++index))
                                : s.Command(command);
        EXPECT_EQ(Code(reply), step.reply) << command << ": " << reply;
        if (Code(reply) == "552") {
            EXPECT_EQ(reply, OVER);
        }
        std::error_code error;
        auto size = std::filesystem::file_size(root + "/" + step.file, error);
        EXPECT_EQ(error ? -1 : (int64_t)size, step.size) << command;
        uint64_t total = 0, files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            total += entry.file_size();
            files++;
        }
        EXPECT_LE(total, 1u << 20) << command;
        EXPECT_LE(files, 3u) << command;
    }
    // The session goes on after every refusal.
    EXPECT_EQ(Code(s.Command("NOOP")), "200");
}

} // namespace
