// Resolution of client paths: which paths resolve to what, which are refused
// with which log record, the limits of the 260-byte buffers, the full local
// path and the client form; and a seeded property run over random paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "log/log.h"
#include "server/path.h"
#include "test_support.h"

namespace {

class PathParse : public ::testing::Test {
protected:
    std::string LogText() { return log_.Text(); }
    // ParsePath from current directory cur; "FAIL" when refused.
    static std::string Parse(const std::string& cur, const std::string& client) {
        char rel[CONN_PATH_SIZE];
        snprintf(rel, sizeof rel, "%s", cur.c_str());
        return ParsePath(rel, client.c_str()) ? std::string(rel) : std::string("FAIL");
    }
    // Expects the path refused and the warning record written.
    void ExpectRefused(const std::string& cur, const std::string& client, const std::string& record) {
        EXPECT_EQ(Parse(cur, client), "FAIL") << cur << " + " << client;
        EXPECT_NE(LogText().find(record), std::string::npos) << "no record: " << record;
    }
    bxtest::LogCapture log_;
};

TEST_F(PathParse, ResolvesNamesDotsAndSeparators) {
    const char* cases[][3] = {  // current directory, client path, result
        {"pub", "docs/a.txt", "pub\\docs\\a.txt"}, {"pub\\docs", "/docs", "docs"},
        {"pub\\docs", "../x", "pub\\x"},         {"pub\\docs", "...", ""},
        {"pub", "./x", "pub\\x"},                 {"", "a//b", "a\\b"},
        {"", "a/", "a"},                           {"", "a\\b/c", "a\\b\\c"},
        {"pub", "", "pub"},
        // A current directory taken from Home may use forward slashes.
        {"a/b", "..", "a"},
        // Names that are not made of dots only are names, blanks and high
        // bytes included.
        {"", ". .", ". ."}, {"", "..a/a..", "..a\\a.."}, {"", "\xe9t\xe9", "\xe9t\xe9"}};
    for (auto& c : cases) EXPECT_EQ(Parse(c[0], c[1]), c[2]) << c[0] << " + " << c[1];
    EXPECT_NE(LogText().find("ParsePath: parsed: pub\\docs\\a.txt"), std::string::npos);
}

TEST_F(PathParse, DotsAfterTheStartAreRefused) {
    // A doubled separator ends the start just as a name does.
    const char* cases[][3] = {{"", "x/../y", ".."}, {"", "x/.", "."}, {"pub", "//..", ".."}, {"pub", ".//.", "."}};
    for (auto& c : cases) ExpectRefused(c[0], c[1], std::string("ParsePath: invalid use of ") + c[2] + "\r\n");
}

TEST_F(PathParse, DotsAnywhereStepWithinThePathButNeverAboveTheRoot) {
    const char* cases[][3] = {  // current directory, client path, result ("FAIL": refused)
        {"", "pub/.", "pub"},       {"", "./pub/./x", "pub\\x"}, {"", "x/../y", "y"},
        {"pub", "docs/..", "pub"},  {"pub", "a/b/.../c", "pub\\c"}, {"", "x/../..", "FAIL"},
        {"pub", "../../x", "FAIL"}, {"", "/x/../../x", "FAIL"}, {"a/b", "c/../../..", ""}};
    for (auto& c : cases) {
        char rel[CONN_PATH_SIZE];
        snprintf(rel, sizeof rel, "%s", c[0]);
        std::string result = ParsePath(rel, c[1], 1) ? std::string(rel) : std::string("FAIL");
        EXPECT_EQ(result, c[2]) << c[0] << " + " << c[1];
    }
}

TEST_F(PathParse, NothingGoesAboveTheRoot) {
    ExpectRefused("", "/..", "ParsePath: can't go past root");
    ExpectRefused("pub\\docs", "/..", "ParsePath: can't go past root");
    EXPECT_EQ(Parse("pub\\docs", "../../.."), "FAIL");
}

TEST_F(PathParse, WildcardsAreRefusedInAnyComponent) {
    for (const char* p : {"*", "a*", "pub/docs/a?.txt", "?/x", "pub/*/x", "a\\b*"}) {
        ExpectRefused("pub", p, "ParsePath: wildcard characters not allowed");
    }
}

TEST_F(PathParse, DotRunsGoUpOneLevelPerExtraDot) {
    // 129 levels of "a" fill 257 characters; 130 dots go up all of them.
    std::string deep = "a";
    for (int i = 1; i < 129; i++) deep += "\\a";
    ASSERT_EQ(deep.size(), 257u);
    EXPECT_EQ(Parse(deep, std::string(130, '.')), "");
    EXPECT_EQ(Parse(deep, std::string(129, '.')), "a");
    EXPECT_EQ(Parse(deep, std::string(131, '.')), "FAIL");
    // 259 dots are an ordinary climb (that runs out of levels here), 260 are
    // refused before any climbing.
    ExpectRefused(deep, std::string(259, '.'), "ParsePath: can't go past root");
    EXPECT_EQ(LogText().find("crazy"), std::string::npos);
    ExpectRefused(deep, std::string(260, '.'), "ParsePath: crazy number of dots");
}

TEST_F(PathParse, ResultsLongerThan259CharactersAreRefused) {
    std::string cur(255, 'a');
    EXPECT_EQ(Parse(cur, "bbb").size(), 259u);
    ExpectRefused(cur, "bbbb", "ParsePath: overflow, len=260 i=4");
    EXPECT_EQ(Parse("", std::string(259, 'x')).size(), 259u);
    ExpectRefused("", std::string(260, 'x'), "ParsePath: overflow, len=260 i=260");
    ExpectRefused("", std::string(5000, 'x'), "ParsePath: overflow, len=5000 i=5000");
    // Thousands of components: the result never grows past the buffer.
    std::string many;
    for (int i = 0; i < 3000; i++) many += "ab/";
    EXPECT_EQ(Parse("", many), "FAIL");
}

TEST_F(PathParse, FullPathIsRootSlashAndRelativePathOrRefused) {
    char out[CONN_PATH_SIZE];
    ASSERT_EQ(MakeFullPath(out, "/srv/ftp", "pub\\docs\\a.txt"), 1);
    EXPECT_STREQ(out, "/srv/ftp/pub/docs/a.txt");
    ASSERT_EQ(MakeFullPath(out, "/srv/ftp", ""), 1);
    EXPECT_STREQ(out, "/srv/ftp/");
    // 4 + 1 + 254 = 259 fits; one more is refused, never cut short.
    std::string rel(254, 'r');
    ASSERT_EQ(MakeFullPath(out, "/srv", rel.c_str()), 1);
    EXPECT_EQ(strlen(out), 259u);
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(MakeFullPath(out, "/srv", (rel + "r").c_str()), 0);
    std::string longRoot = "/" + std::string(258, 'q');
    EXPECT_EQ(MakeFullPath(out, longRoot.c_str(), ""), 0);
}

TEST_F(PathParse, ClientFormUsesSlashesAndDoublesQuotes) {
    char out[2 * CONN_PATH_SIZE];
    ClientPathForm(out, sizeof out, "");
    EXPECT_STREQ(out, "/");
    ClientPathForm(out, sizeof out, "pub\\docs");
    EXPECT_STREQ(out, "/pub/docs");
    ClientPathForm(out, sizeof out, "say \"hi\"\\x");
    EXPECT_STREQ(out, "/say \"\"hi\"\"/x");
    std::string quotes(259, '"');
    EXPECT_EQ(ClientPathForm(out, sizeof out, quotes.c_str()), 519u);
    // A short buffer is cut, never overrun.
    char small[4];
    ClientPathForm(small, sizeof small, "abcdef");
    EXPECT_STREQ(small, "/ab");
}

// Random client paths from random current directories: every accepted path
// is a proper relative path that fits the buffer.
TEST(PathParseProperty, EveryResultIsAProperRelativePath) {
    int savedEnable = logEnable;
    logEnable = 0;  // 100,000 records would only slow the run
    std::mt19937 rng(20240611);
    const char* pieces[] = {"..", ".", "/", "\\", "*", "a", "bc", "doc s", " ", "...", "x.y", "..z"};
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    int accepted = 0;
    for (int round = 0; round < 100000; round++) {
        std::string cur;
        for (int i = pick(6); i > 0; i--) cur += (cur.empty() ? "" : (pick(2) ? "\\" : "/")) + std::string("d") + std::to_string(pick(100));
        std::string client;
        for (int i = pick(12); i > 0; i--) client += pieces[pick(12)];
        if (pick(50) == 0) client += std::string(static_cast<size_t>(pick(300)), 'n');
        char rel[CONN_PATH_SIZE];
        snprintf(rel, sizeof rel, "%s", cur.c_str());
        if (!ParsePath(rel, client.c_str())) continue;
        accepted++;
        std::string r = rel;
        ASSERT_LE(r.size(), 259u) << cur << " + " << client;
        if (r.empty()) continue;
        std::string component;
        for (size_t i = 0; i <= r.size(); i++) {
            if (i == r.size() || r[i] == '\\' || r[i] == '/') {
                ASSERT_TRUE(!component.empty() && component != "." && component != "..")
                    << "bad component in " << r << " from " << cur << " + " << client;
                ASSERT_EQ(component.find_first_of("*?"), std::string::npos) << r;
                component.clear();
            } else {
                component += r[i];
            }
        }
    }
    logEnable = savedEnable;
    EXPECT_GT(accepted, 10000);  // the run exercised the accepting paths too
}

}  // namespace
