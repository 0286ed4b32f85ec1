// Resolution of client paths: which paths resolve to what and which are
// refused, the limits of the 260-byte buffers, the full local path and the
// client form. (Random paths from random directories are the fuzz_path
// target's, which checks every result for what a proper relative path is.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/path.h"

namespace {

// ParsePath from current directory cur; "FAIL" when refused.
std::string Parse(const std::string& cur, const std::string& client, int dotsAnywhere = 0) {
    char rel[CONN_PATH_SIZE];
    snprintf(rel, sizeof rel, "%s", cur.c_str());
    return ParsePath(rel, client.c_str(), dotsAnywhere) ? std::string(rel) : std::string("FAIL");
}

TEST(PathParse, ResolvesOrRefuses) {
    // 129 levels of "a" fill 257 characters.
    std::string deep = "a";
    for (int i = 1; i < 129; i++)
        deep += "\\a";
    std::string many;
    for (int i = 0; i < 3000; i++)
        many += "ab/";
    const std::string cases[][3] = {
        // current directory, client path, result
        {"pub", "docs/a.txt", "pub\\docs\\a.txt"},
        {"pub\\docs", "/docs", "docs"},
        {"pub\\docs", "../x", "pub\\x"},
        {"pub\\docs", "...", ""},
        {"pub", "./x", "pub\\x"},
        {"", "a//b", "a\\b"},
        {"", "a/", "a"},
        {"", "a\\b/c", "a\\b\\c"},
        {"pub", "", "pub"},
        // A current directory taken from Home may use forward slashes.
        {"a/b", "..", "a"},
        // Names not made of dots only are names, blanks and high bytes included.
        {"", ". .", ". ."},
        {"", "..a/a..", "..a\\a.."},
        {"", "\xe9t\xe9", "\xe9t\xe9"},
        // Dots after the start (a doubled separator ends the start as a name does).
        {"", "x/../y", "FAIL"},
        {"", "x/.", "FAIL"},
        {"pub", "//..", "FAIL"},
        {"pub", ".//.", "FAIL"},
        // Nothing above the root.
        {"", "/..", "FAIL"},
        {"pub\\docs", "/..", "FAIL"},
        {"pub\\docs", "../../..", "FAIL"},
        // Wildcards in any component.
        {"pub", "*", "FAIL"},
        {"pub", "a*", "FAIL"},
        {"pub", "pub/docs/a?.txt", "FAIL"},
        {"pub", "?/x", "FAIL"},
        {"pub", "pub/*/x", "FAIL"},
        {"pub", "a\\b*", "FAIL"},
        // A run of dots goes up one level per dot after the second.
        {deep, std::string(130, '.'), ""},
        {deep, std::string(129, '.'), "a"},
        {deep, std::string(131, '.'), "FAIL"},
        {deep, std::string(259, '.'), "FAIL"},
        {deep, std::string(260, '.'), "FAIL"},
        // Results longer than 259 characters.
        {std::string(255, 'a'), "bbb", std::string(255, 'a') + "\\bbb"},
        {std::string(255, 'a'), "bbbb", "FAIL"},
        {"", std::string(259, 'x'), std::string(259, 'x')},
        {"", std::string(260, 'x'), "FAIL"},
        {"", std::string(5000, 'x'), "FAIL"},
        {"", many, "FAIL"}};
    for (auto& c : cases)
        EXPECT_EQ(Parse(c[0], c[1]), c[2])
            << "row " << c[0].substr(0, 20) << " + " << c[1].substr(0, 20);
}

// With the extensions on, "." and ".." may stand anywhere in a path.
TEST(PathParse, DotsAnywhereStepWithinThePathButNeverAboveTheRoot) {
    const char* cases[][3] = {
        // current directory, client path, result
        {"", "pub/.", "pub"},       {"", "./pub/./x", "pub\\x"},    {"", "x/../y", "y"},
        {"pub", "docs/..", "pub"},  {"pub", "a/b/.../c", "pub\\c"}, {"", "x/../..", "FAIL"},
        {"pub", "../../x", "FAIL"}, {"", "/x/../../x", "FAIL"},     {"a/b", "c/../../..", ""}};
    for (auto& c : cases)
        EXPECT_EQ(Parse(c[0], c[1], 1), c[2]) << c[0] << " + " << c[1];
}

TEST(PathParse, FullPathIsRootSlashAndRelativePathOrRefused) {
    std::string rel(254, 'r');      // 4 + 1 + 254 = 259 fits; one more is refused, never cut short
    const std::string cases[][3] = {// root, relative path, result
                                    {"/srv/ftp", "pub\\docs\\a.txt", "/srv/ftp/pub/docs/a.txt"},
                                    {"/srv/ftp", "", "/srv/ftp/"},
                                    {"/srv", rel, "/srv/" + rel},
                                    {"/srv", rel + "r", "FAIL"},
                                    {"/" + std::string(258, 'q'), "", "FAIL"}};
    for (auto& c : cases) {
        char out[CONN_PATH_SIZE];
        EXPECT_EQ(MakeFullPath(out, c[0].c_str(), c[1].c_str()) ? std::string(out) : "FAIL", c[2])
            << c[0].substr(0, 20) << " + " << c[1].substr(0, 20);
    }
}

// Slashes and doubled quotes are seen in the PWD replies of dir_commands_test.cpp;
// here the limits: the longest path fits, and a short buffer is cut.
TEST(PathParse, ClientFormFitsTheLongestPathAndCutsAShortBuffer) {
    char out[2 * CONN_PATH_SIZE];
    EXPECT_EQ(ClientPathForm(out, sizeof out, std::string(259, '"').c_str()), 519u);
    EXPECT_EQ(std::string(out), "/" + std::string(518, '"'));
    // A short buffer is cut, never overrun.
    char small[4];
    ClientPathForm(small, sizeof small, "abcdef");
    EXPECT_STREQ(small, "/ab");
}

} // namespace
