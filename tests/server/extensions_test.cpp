// The protocol extensions behind the System value "Extensions": with 0 the
// new words stay unknown and the plain replies stay; with 1 each extension
// answers as modern clients expect, through the same permission checks.
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>

#include "config/config.h"
#include "data_client.h"

using namespace dataclient;
namespace fs = std::filesystem;

namespace {

const std::string UNKNOWN = "500 Syntax error; command unrecognized.";
const std::string BAD_FILE = "550 Invalid file path.";

class Extensions : public FtpFixture {
  protected:
    void SetUp() override {
        FtpFixture::SetUp();
        AddUser("u", "pw");
        for (const auto& [name, permissions] :
             {std::pair{"lister", PERM_LIST}, {"getter", PERM_GET}, {"nobody", 0}})
            AddUser(name, "pw", (uint8_t)permissions);
        WriteRootFile("pub/f.txt", std::string(1234, 'f'));
        for (const char* name : {"pub/a.txt", "pub/b.log", "pub/.hidden", "ro.txt"})
            WriteRootFile(name, "x");
        chmod(Root("ro.txt").c_str(), 0444);
        timespec when[2] = {{1577934245, 0}, {1577934245, 0}}; // 2020-01-02 03:04:05 UTC
        utimensat(AT_FDCWD, Root("pub/f.txt").c_str(), when, 0);
        SetExtensionsSetting(1); // as it is when a session connects
    }
};

TEST_F(Extensions, SwitchOffKeepsEveryPlainReply) {
    SetExtensionsSetting(0);
    Session s;
    ASSERT_TRUE(s.Open(Port()));
    ExpectReplies(s, {{"FEAT", UNKNOWN},
                      {"OPTS UTF8 ON", UNKNOWN},
                      {"SIZE pub/f.txt", UNKNOWN},
                      {"MDTM pub/f.txt", UNKNOWN},
                      {"MLST pub/f.txt", UNKNOWN},
                      {"MLSD", UNKNOWN},
                      {"EPSV", UNKNOWN},
                      {"EPRT |1|127.0.0.1|2000|", UNKNOWN},
                      {"ABOR", UNKNOWN},
                      {"MKD new", "250 Directory created."},
                      {"RETR pub/./f.txt", "500 Invalid file path."},
                      {"RETR missing", BAD_FILE},
                      {"LIST -la", "500 Invalid file path."},
                      {"NLST *.txt", "500 Invalid file path."},
                      {"CWD pub/..", "550 Invalid directory path."},
                      // Transfers refused before any data connection.
                      {"RETR pub", "550 pub: not a plain file."},
                      {"STOR pub", "450 File is a directory."},
                      {"APPE pub", "550 File is a directory."},
                      {"STOR ro.txt", "450 File is read-only."},
                      {"APPE ro.txt", "550 File is read-only."},
                      {"RETR", "500 Syntax error; parameter required."},
                      {"APPE ../x", "550 Invalid file path."}});
    Session noPerm;
    ASSERT_TRUE(noPerm.Open(Port(), "nobody"));
    ExpectReplies(noPerm,
                  {{"RETR pub/f.txt", "450 No permission."}, {"LIST", "450 No permission."}});
}

TEST_F(Extensions, ControlRepliesWithTheSwitchOn) {
    Session s;
    ASSERT_TRUE(s.Open(Port()));
    EXPECT_EQ(
        s.Command("FEAT"),
        "211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n MLST type*;size*;modify*;perm*;unique*;\r\n"
        " REST STREAM\r\n SIZE\r\n UTF8\r\n211 End\r\n");
    const std::string notIp4 = "522 Network protocol not supported, use (1)";
    const std::string badPort = "501 Invalid port parameter.",
                      onlyEpsv = "503 Only EPSV is accepted after EPSV ALL.";
    ExpectReplies(s, {{"OPTS UTF8 ON", "200 UTF8 is always on: names are sent as they are stored."},
                      {"OPTS UTF8 OFF", "504 Command not implemented for that parameter."},
                      {"OPTS MLST size;Type;colour;", "200 MLST OPTS type;size;"},
                      {"OPTS NAME x", "501 Option not recognized."},
                      {"SIZE pub/f.txt", "213 1234"},
                      {"SIZE ./pub/../pub/./f.txt", "213 1234"},
                      {"SIZE pub", "550 pub: not a plain file."},
                      {"SIZE missing", BAD_FILE},
                      {"SIZE ../x", BAD_FILE},
                      {"SIZE", "500 Syntax error; parameter required."},
                      {"MDTM pub/f.txt", "213 20200102030405"},
                      {"MKD new", "257 \"/new\" Directory created."},
                      {"XMKD pub/./q\"x", "257 \"/pub/q\"\"x\" Directory created."},
                      {"MKD pub/gone/../y", "257 \"/pub/y\" Directory created."},
                      {"MKD new", "550 Invalid directory path."},
                      {"CWD ./pub/./nothere/..", "250 CWD command successful."},
                      {"PWD", "257 \"/pub\" is current directory."},
                      {"CWD ../..", "550 Invalid directory path."},
                      {"CWD ..", "250 CWD command successful."},
                      {"RETR missing", BAD_FILE},
                      {"RETR ../x", BAD_FILE},
                      {"RETR pub/*.txt", BAD_FILE},
                      {"STOR pub/*.txt", BAD_FILE},
                      {"STOR ro.txt", "550 File is read-only."},
                      {"STOR pub", "550 File is a directory."},
                      {"LIST missing", BAD_FILE},
                      {"NLST pub/*/f.txt", BAD_FILE},
                      {"ABOR", "226 ABOR command successful."},
                      {"EPSV 2", notIp4},
                      {"EPSV 3", "501 Invalid EPSV parameter."},
                      {"EPRT |2|::1|2000|", notIp4},
                      {"EPRT |1|127.0.0.1|80|", "501 Port number restricted."},
                      {"EPRT |1|0.0.0.0|2000|", "501 Invalid IP address."},
                      {"EPRT |1|127.0.0.1|70000|", badPort},
                      {"EPRT |1|127.0.0.1|2000", badPort},
                      {"EPRT |1|10.0.0.1|2000|", "501 IP address restricted."},
                      {"EPRT !1!127.0.0.1!2000!", "200 Command okay."},
                      {"EPSV ALL", "200 EPSV ALL command successful."},
                      {"PASV", onlyEpsv},
                      {"PORT 127,0,0,1,7,208", onlyEpsv},
                      {"EPRT |1|127.0.0.1|2000|", onlyEpsv}});
    EXPECT_TRUE(fs::is_directory(Root("pub/q\"x")));
    EXPECT_TRUE(fs::is_directory(Root("pub/y")));
    EXPECT_FALSE(fs::exists(Root("pub/gone")));
}

// The data commands answer by the family of the client's control
// connection: EPSV and EPRT serve that family and name it when refused;
// PASV and PORT carry IPv4 addresses only; Restrict compares an EPRT address
// with the client's own address of the same family. (Transfers over IPv6 are
// in transfer_bytes_test.cpp.)
TEST_F(Extensions, DataCommandsAnswerByTheClientsFamily) {
    if (!bxtest::HasIpv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
    AddUser("free", "pw", PERM_LIST, ACCOUNT_ENABLE); // not restricted
    const std::string use1 = "522 Network protocol not supported, use (1)",
                      use2 = "522 Network protocol not supported, use (2)",
                      badAddress = "501 Invalid IP address.", ok = "200 Command okay.";
    const char* v6 = IPV6_LOOPBACK;
    const struct {
        const char* local; // IPV6_LOOPBACK: the session is on ::1
        const char* user;
        const char* command;
        const std::string reply;
    } rows[] = {
        {nullptr, "u", "EPSV 2", use1},
        {nullptr, "u", "EPRT |2|::1|2000|", use1},
        {nullptr, "free", "EPRT |2|::2|2000|", use1},
        {v6, "u", "EPSV 1", use2},
        {v6, "u", "PASV", use2},
        {v6, "u", "PORT 127,0,0,1,7,208", use2},
        {v6, "u", "EPRT |1|127.0.0.1|2000|", use2},
        {v6, "u", "EPSV 3", "501 Invalid EPSV parameter."},
        {v6, "u", "EPRT |3|::1|2000|", "501 Invalid port parameter."},
        {v6, "u", "EPRT |2|127.0.0.1|2000|", badAddress},
        {v6, "u", "EPRT |2|::ffff:127.0.0.1|2000|", badAddress},
        {v6, "u", "EPRT |2|::|2000|", badAddress},
        {v6, "u", "EPRT |2|::1|80|", "501 Port number restricted."},
        {v6, "u", "EPRT |2|::2|2000|", "501 IP address restricted."},
        {v6, "u", "EPRT |2|0:0:0:0:0:0:0:1|2000|", ok},
        {v6, "free", "EPRT |2|::2|2000|", ok},
    };
    for (const auto& row : rows) {
        Session s;
        ASSERT_TRUE(s.Open(Port(), row.user, row.local)) << row.command;
        EXPECT_EQ(s.Command(row.command), row.reply + "\r\n")
            << row.command << (row.local ? " over IPv6" : " over IPv4");
    }
}

TEST_F(Extensions, PermissionsDecideAndRefusalsArePermanent) {
    struct stat st;
    ASSERT_EQ(stat(Root("pub/f.txt").c_str(), &st), 0);
    char unique[64];
    snprintf(unique, sizeof unique, "unique=%llxg%llx;", (unsigned long long)st.st_dev,
             (unsigned long long)st.st_ino);
    const std::string facts = "type=file;size=1234;modify=20200102030405;";
    // user, command, the start of the reply (or a "perm=" fact found in it)
    const std::vector<std::array<std::string, 3>> rows = {
        {"u", "MLST pub/f.txt",
         "250-Listing /pub/f.txt\r\n " + facts + "perm=adfrw;" + unique + " /pub/f.txt\r\n250 End"},
        {"u", "MLST ro.txt", "250-Listing /ro.txt\r\n type=file;size=1;"},
        {"u", "MLST ro.txt", "perm=r;"},   // read-only file: read only
        {"u", "MLST pub", "perm=cdelmp;"}, // directory with every permission
        {"lister", "SIZE pub/f.txt", "213 1234"},
        {"lister", "MLST pub/f.txt", "250-Listing /pub/f.txt\r\n " + facts + "perm=;"},
        {"lister", "MLST pub", "250-Listing /pub\r\n type=dir;modify="},
        {"lister", "RETR pub/f.txt", "550 No permission."},
        {"lister", "STOR x", "550 No permission."},
        {"getter", "MDTM pub/f.txt", "213 20200102030405"},
        {"getter", "MLST pub/f.txt", "550 No permission."},
        {"getter", "MLSD pub", "550 No permission."},
        {"getter", "LIST pub", "550 No permission."},
        {"nobody", "SIZE pub/f.txt", "550 No permission."},
        {"nobody", "MKD d", "550 Not permitted."},
    };
    for (const auto& [user, command, part] : rows) {
        Session s;
        ASSERT_TRUE(s.Open(Port(), user)) << user;
        std::string reply = s.Command(command);
        bool fact = part.rfind("perm=", 0) == 0;
        EXPECT_TRUE(fact ? reply.find(part) != std::string::npos : reply.rfind(part, 0) == 0)
            << user << ": " << command << " gave " << reply;
    }
}

TEST_F(Extensions, ListingsOptionsMasksAndMachineFacts) {
    Session s;
    ASSERT_TRUE(s.Open(Port()));
    s.Command("CWD pub");
    // command, the names of the listing in order (one a line, "" for none)
    const std::string all = "a.txt\r\nb.log\r\nf.txt\r\n";
    const std::pair<std::string, std::string> rows[] = {{"NLST", all},
                                                        {"NLST -a", all},
                                                        {"NLST *.txt", "a.txt\r\nf.txt\r\n"},
                                                        {"NLST ?.*", all},
                                                        {"NLST ../pub/b*", "b.log\r\n"},
                                                        {"NLST /pub/*.none", ""},
                                                        {"NLST .*", ""}};
    for (const auto& [command, names] : rows)
        EXPECT_EQ(s.Download(command), names) << command;
    std::string list = s.Download("LIST -la");
    EXPECT_EQ(bxtest::CountOf(list, "\r\n"), 3) << list;
    EXPECT_NE(list.find(" a.txt\r\n"), std::string::npos) << list;
    EXPECT_EQ(s.Download("LIST -al *.log"), s.Download("LIST b.log"));

    // The facts themselves are the MLST rows' (and the black-box MLSD test's).
    EXPECT_EQ(s.Command("OPTS MLST type;"), "200 MLST OPTS type;\r\n");
    std::string final;
    EXPECT_EQ(s.Download("MLSD ..", &final), "type=dir; pub\r\ntype=file; ro.txt\r\n");
    EXPECT_EQ(final, "226 Transfer complete.\r\n");
    EXPECT_EQ(s.Download("MLSD"), "type=file; a.txt\r\ntype=file; b.log\r\ntype=file; f.txt\r\n");
    ExpectReplies(s, {{"MLSD f.txt", "501 f.txt: not a directory."}, {"MLSD none", BAD_FILE}});
}

TEST_F(Extensions, AborEndsTheTransferAtOnceHoweverItIsSent) {
    WriteRootFile("huge", "");
    fs::resize_file(Root("huge"), 1ull << 30); // sparse: never sent whole
    std::string sent = RandomBytes(100000, 5);
    // How the client sends ABOR (urgent bytes included): a name, the transfer,
    // and the pieces of ABOR with their send flags.
    const struct {
        const char* name;
        const char* command;
        std::vector<std::pair<std::string, int>> pieces;
    } rows[] = {{"plain download", "RETR huge", {{"ABOR\r\n", 0}}},
                {"urgent line", "RETR huge", {{"ABOR\r\n", MSG_OOB}}},
                {"telnet interrupt",
                 "RETR huge",
                 {{"\xff\xf4\xff", 0}, {"\xf2", MSG_OOB}, {"abor\r\n", 0}}},
                {"upload", "STOR part", {{"ABOR\r\n", 0}}}};
    for (const auto& row : rows) {
        Session s;
        ASSERT_TRUE(s.Open(Port()));
        s.mode = Mode::EPSV;
        int fd = s.Begin(row.command);
        ASSERT_GE(fd, 0) << row.name;
        char head[16];
        if (row.command[0] == 'S')
            WriteAll(fd, sent);
        else
            EXPECT_EQ(recv(fd, head, sizeof head, MSG_WAITALL), 16) << row.name;
        for (const auto& [bytes, flags] : row.pieces)
            send(s.Fd(), bytes.data(), bytes.size(), flags);
        EXPECT_EQ(s.ReadReply(), "426 Connection closed; transfer aborted.\r\n") << row.name;
        EXPECT_EQ(s.ReadReply(), "226 ABOR command successful.\r\n") << row.name;
        EXPECT_EQ(s.Command("NOOP"), "200 Command okay.\r\n") << row.name;
        close(fd);
    }
    // What reached the file before the abort stays, nothing else.
    std::string part = ReadFile(Root("part"));
    EXPECT_EQ(part, sent.substr(0, part.size()));
}

} // namespace
