// Listings: the long and names formats byte for byte, order, what is left
// out, option handling and refusals.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "data_client.h"

using namespace dataclient;
namespace fs = std::filesystem;

namespace {

class Listing : public SessionTest {
  protected:
    // Sets the modification time of name to "YYYY-MM-DD HH:MM" local time.
    void SetTime(const std::string& name, const std::string& when) {
        struct tm t = {};
        ASSERT_NE(strptime(when.c_str(), "%Y-%m-%d %H:%M", &t), nullptr) << when;
        t.tm_isdst = -1;
        timespec times[2] = {{mktime(&t), 0}, {mktime(&t), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, Root(name).c_str(), times, 0), 0);
    }
};

// A file of this year shows its time, one of another year the year instead;
// read-only entries show without write bits.
TEST_F(Listing, LongLinesByteForByte) {
    time_t now = time(nullptr);
    std::string thisYear = std::to_string(localtime(&now)->tm_year + 1900);
    WriteRootFile("report.txt", std::string(1234, 'r'));
    SetTime("report.txt", thisYear + "-03-05 14:03");
    WriteRootFile("new", "");
    SetTime("new", thisYear + "-01-02 00:05");
    fs::create_directory(Root("old"));
    SetTime("old", "1999-12-31 23:59");
    chmod(Root("old").c_str(), 0555);
    EXPECT_EQ(s.Download("LIST"),
              "-rwxrwxrwx   1 owner    group               0 Jan  2 00:05 new\r\n"
              "dr-xr-xr-x   1 owner    group               0 Dec 31  1999 old\r\n"
              "-rwxrwxrwx   1 owner    group            1234 Mar  5 14:03 report.txt\r\n");
    chmod(Root("old").c_str(), 0755);
}

TEST_F(Listing, OrderAndHiddenEntries) {
    // Names equal but for case come in byte order, whatever the directory's.
    for (const char* name : {"Ccc", "abc", "aaa", "Bbb", "ab", ".hidden", "_x", "aB", "AB", "Ab"})
        WriteRootFile(name, "");
    fs::create_directory(Root(".git"));
    EXPECT_EQ(s.Download("NLST"), "_x\r\naaa\r\nAB\r\nAb\r\naB\r\nab\r\nabc\r\nBbb\r\nCcc\r\n");
    std::string listing = s.Download("LIST");
    EXPECT_EQ(bxtest::CountOf(listing, "\r\n"), 9);
    EXPECT_EQ(listing.find("hidden"), std::string::npos);
    EXPECT_EQ(listing.find(".git"), std::string::npos);
}

TEST_F(Listing, OptionsAndArguments) {
    WriteRootFile("a", "1");
    WriteRootFile("sub/b", "22");
    fs::create_directory(Root("empty"));
    ExpectReplies(s, {{"LIST -l", "500 Invalid file path."},
                      {"LIST missing", "500 Invalid file path."},
                      {"NLST /../x", "500 Invalid file path."}});
    std::string longForm = s.Download("NLST -l");
    EXPECT_EQ(longForm.rfind("-rwxrwxrwx", 0), 0u) << longForm;
    EXPECT_EQ(bxtest::CountOf(longForm, "\r\n"), 3);
    EXPECT_EQ(s.Download("NLST -aL"), longForm);
    EXPECT_EQ(s.Download("NLST -a"), "a\r\nempty\r\nsub\r\n");
    EXPECT_EQ(s.Download("NLST -a -x sub"), "b\r\n");
    std::string one = s.Download("LIST sub/b");
    EXPECT_NE(one.find(" 2 "), std::string::npos);
    EXPECT_NE(one.find(" b\r\n"), std::string::npos);
    EXPECT_EQ(bxtest::CountOf(one, "\r\n"), 1);
    std::string final;
    EXPECT_EQ(s.Download("LIST empty", &final), "") << "an empty directory sends nothing";
    EXPECT_EQ(final, "226 Transfer complete.\r\n");
}

TEST_F(Listing, PatternThatWouldNotFitIsRefused) {
    // Full paths of 257 and 258 characters: with "/*" the first still fits
    // the 259 characters of a pattern, the second does not.
    std::string fits(257 - RootDir().size() - 1, 'f');
    std::string tooLong(258 - RootDir().size() - 1, 't');
    fs::create_directory(Root(fits));
    fs::create_directory(Root(tooLong));
    std::string final;
    EXPECT_EQ(s.Download("LIST " + fits, &final), "");
    EXPECT_EQ(final, "226 Transfer complete.\r\n");
    EXPECT_EQ(s.Command("LIST " + tooLong), "500 Invalid file path.\r\n");
    EXPECT_EQ(s.Command("CWD " + tooLong).substr(0, 1), "2");
    EXPECT_EQ(s.Command("NLST"), "500 Invalid file path.\r\n");
}

} // namespace
