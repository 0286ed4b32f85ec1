// Clients that behave as an attacker would: they flood commands without
// reading the replies and then vanish, or hide a NUL in a command line. The
// server must give back every descriptor and never act on part of a line.
// (A crowd connecting at once is in control_load_test.cpp.)
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/config.h"
#include "data_client.h"
#include "log/log.h"

namespace {

using bxtest::Clock;

// Sockets this process holds now: the clients' ends and the server's.
// Files are left out: the log writer opens its file for each flush, and a
// flush may fall on either count.
int OpenDescriptors() {
    int sockets = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        sockets +=
            std::filesystem::read_symlink(fd.path(), error).string().rfind("socket:", 0) == 0;
    }
    return sockets;
}

// A loopback client that sends HELP lines without ever reading a reply:
// non-blocking, it stops once the server has taken no byte for 300 ms.
int FloodWithoutReading(uint16_t port) {
    int fd = bxtest::ConnectLoopback(port);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string bytes;
    for (int i = 0; i < 25000; i++)
        bytes += "HELP\r\n";
    for (size_t sent = 0; sent < bytes.size();) {
        if (!bxtest::WaitFd(fd, POLLOUT, Clock::now() + std::chrono::milliseconds(300))) break;
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) break;
        sent += n > 0 ? (size_t)n : 0;
    }
    return fd;
}

using HostileClient = FtpFixture;

TEST_F(HostileClient, NonReadingClientsThatVanishGiveBackEveryDescriptor) {
    bxtest::QuietLog quiet(LOG_INFO);
    for (const std::string how : {"close", "reset", "half close, then close"}) {
        const int idle = OpenDescriptors();
        std::vector<int> clients;
        for (int i = 0; i < 4; i++)
            clients.push_back(FloodWithoutReading(Port()));
        for (int fd : clients)
            ASSERT_GE(fd, 0) << how;
        if (how == "half close, then close")
            for (int fd : clients)
                shutdown(fd, SHUT_WR);
        for (int fd : clients)
            how == "reset" ? bxtest::ResetClose(fd) : (void)close(fd);
        EXPECT_TRUE(bxtest::WaitFor([&] { return OpenDescriptors() == idle; }, 20000))
            << how << ": " << OpenDescriptors() << " sockets, " << idle << " when idle";
    }
    // The server still serves.
    FtpClient c;
    EXPECT_TRUE(c.ConnectGreeted(Port()));
}

TEST_F(HostileClient, NulInACommandLineRefusesTheWholeLine) {
    AddUser("u", "pw");
    WriteRootFile("hello.txt", "hello");
    dataclient::Session c;
    ASSERT_TRUE(c.Open(Port()));
    using namespace std::string_literals;
    for (const std::string& line : {"DELE hello.txt\0/../../x"s, "DELE\0 hello.txt"s,
                                    "RNFR hello.txt\0x"s, "MKD made\0"s, "\0"s})
        EXPECT_EQ(c.Command(line), "500 Syntax error; command unrecognized.\r\n")
            << line.c_str() << " + NUL";
    EXPECT_EQ(bxtest::ReadFile(RootDir() + "/hello.txt"), "hello");
    EXPECT_FALSE(std::filesystem::exists(RootDir() + "/made"));
    EXPECT_EQ(c.Command("NOOP"), "200 Command okay.\r\n");
}

// A named pipe, a Unix socket and (where this machine lets us make one) a
// device node inside a root, as any local user could put there: every
// command on them is answered as for a missing name, nothing is written
// through them, and another client is served meanwhile.
TEST_F(HostileClient, PipesSocketsAndDevicesNeverHoldTheServer) {
    bxtest::QuietLog quiet(LOG_INFO);
    AddUser("u", "pw");
    SetExtensionsSetting(1);
    std::vector<std::string> names{"pipe", "sock"};
    ASSERT_EQ(mkfifo(Root("pipe").c_str(), 0666), 0);
    // Whatever happens, the pipe gets its other end before the server stops.
    struct Release {
        std::string path;
        ~Release() { close(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)); }
    } release{Root("pipe")};
    int unixSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(Root("sock").size(), sizeof address.sun_path);
    strcpy(address.sun_path, Root("sock").c_str());
    ASSERT_EQ(bind(unixSocket, (sockaddr*)&address, sizeof address), 0);
    listen(unixSocket, 1);
    if (mknod(Root("dev").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) names.push_back("dev");
    auto type = [&](const std::string& name) {
        struct stat st {};
        lstat(Root(name).c_str(), &st);
        return st.st_mode & S_IFMT;
    };
    dataclient::Session c;
    ASSERT_TRUE(c.Open(Port()));
    FtpClient other;
    ASSERT_TRUE(other.ConnectGreeted(Port()));
    for (const std::string& name : names) {
        const mode_t before = type(name);
        for (const std::string verb : {"RETR", "SIZE", "MDTM", "MLST", "STOR", "APPE"}) {
            std::string missing, reply;
            if (verb == "RETR") {
                c.Download("RETR missing", &missing);
                c.Download("RETR " + name, &reply);
            } else if (verb == "STOR" || verb == "APPE") {
                missing = "a refusal";
                reply = c.Upload(verb + " " + name, "written through");
                if (reply.rfind("226 ", 0) != 0) reply = "a refusal";
            } else {
                missing = c.Command(verb + " missing");
                reply = c.Command(verb + " " + name);
            }
            EXPECT_EQ(reply, missing) << verb << " " << name;
            ASSERT_EQ(other.Command("NOOP"), "200 Command okay.\r\n")
                << "after " << verb << " " << name;
        }
        EXPECT_EQ(type(name), before) << name;
    }
    for (const char* listing : {"LIST", "NLST", "MLSD"}) {
        std::string entries = c.Download(listing);
        for (const std::string& name : names)
            EXPECT_EQ(entries.find(name), std::string::npos) << listing << ": " << entries;
    }
    close(unixSocket);
}

} // namespace
