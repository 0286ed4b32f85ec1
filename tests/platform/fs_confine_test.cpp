// Confinement of the file layer: paths not below the root, links that stay
// inside, links that lead out, and a directory flipping with an outside link
// while reads go on. Every case runs with the kernel's beneath resolution
// and with the component walk that replaces it on older kernels. What the
// FTP commands make of links leading out is the directory commands' test.
#include <fcntl.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/fs.h"
#include "test_support.h"

namespace fsys = std::filesystem;

namespace {

using namespace bxtest;

enum Op { ATTR, READ, WRITE, MKDIR, DELETE, LIST };
const char* const OP_NAMES[] = {"attributes", "read", "write", "mkdir", "delete", "list"};

// Paths are relative to the temporary directory holding outside/ (never to
// be reached) and root/, where in -> sub and abs -> <root>/sub stay inside
// while d -> <outside> leads out: the absolute link that a client could
// swap in for a directory after it was checked.
class FsConfine : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        FsSetWalkOnly(GetParam());
        for (const char* dir : {"outside/sub", "root/sub", "root2"})
            fsys::create_directories(P(dir));
        WriteFile(P("outside/secret"), "OUTSIDE");
        WriteFile(P("root/sub/inner.txt"), "INSIDE");
        WriteFile(P("root/a.txt"), "a");
        WriteFile(P("root2/x"), "x");
        fsys::create_directory_symlink("sub", P("root/in"));
        fsys::create_directory_symlink(P("root/sub"), P("root/abs"));
        fsys::create_directory_symlink(P("outside"), P("root/d"));
    }
    void TearDown() override { FsSetWalkOnly(0); }
    std::string P(const std::string& rel) const { return temp_.path + "/" + rel; }
    // Everything below outside/, to prove nothing there changed.
    std::string OutsideSnapshot() const {
        std::string s;
        for (auto& e : fsys::recursive_directory_iterator(P("outside")))
            s += e.path().string() + "\n";
        return s + ReadFile(P("outside/secret"));
    }
    // The operation on path under the root: "" when refused, else the text
    // read or "done".
    std::string Apply(Op op, const std::string& path) {
        const char* root = root_.c_str();
        const char* p = path.c_str();
        std::vector<FsEntry> list;
        bool done = false;
        int fd = -1;
        switch (op) {
        case ATTR:
            done = FsGetAttributes(root, p) != INVALID_FILE_ATTRIBUTES;
            break;
        case MKDIR:
            done = FsCreateDirectory(root, p) == 1;
            break;
        case DELETE:
            done = FsDeleteFile(root, p) == 1;
            break;
        case LIST:
            done = FsFindFiles(root, p, &list) == 1;
            break;
        case WRITE:
            done = (fd = FsOpenWrite(root, p, 1)) >= 0 && FsWrite(fd, "new", 3) == 3;
            break;
        case READ:
            fd = FsOpenRead(root, p);
            break;
        }
        std::string text = done ? "done" : "";
        char buf[256];
        for (int64_t n; op == READ && fd >= 0 && (n = FsRead(fd, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
        FsClose(fd);
        return text;
    }

    bxtest::TempDir temp_{"fsconfine"};
    std::string root_ = P("root");
};

TEST_P(FsConfine, OnlyWhatLiesBeneathTheRootIsReached) {
    const struct {
        Op op;
        const char* path;
        std::string result;
    } rows[] = {
        // Not below the root, or below a sibling whose name starts with the root's.
        {READ, "outside/secret", ""},
        {ATTR, "root2/x", ""},
        {ATTR, "root/..", ""},
        {ATTR, "root/../outside", ""},
        // Links staying inside work as ordinary entries.
        {ATTR, "root/in", "done"},
        {READ, "root/abs/inner.txt", "INSIDE"},
        {WRITE, "root/in/new.txt", "done"},
        {MKDIR, "root/in/dir", "done"},
        // The link leading out.
        {READ, "root/d/secret", ""},
        {LIST, "root/d/*", ""},
        {WRITE, "root/d/x", ""},
        {MKDIR, "root/d/x", ""},
        {DELETE, "root/d/secret", ""},
    };
    std::string before = OutsideSnapshot();
    for (const auto& row : rows) {
        EXPECT_EQ(Apply(row.op, P(row.path)), row.result) << OP_NAMES[row.op] << " " << row.path;
        EXPECT_TRUE(!row.result.empty() || FsLastError() == FS_ERROR_ACCESS_DENIED)
            << OP_NAMES[row.op] << " " << row.path;
    }
    EXPECT_EQ(before, OutsideSnapshot());
    EXPECT_EQ(ReadFile(P("root/sub/new.txt")), "new");
    EXPECT_TRUE(fsys::is_directory(P("root/sub/dir")));
    // The root listing shows the inside links as directories and leaves out
    // the links that lead outside.
    std::vector<FsEntry> list;
    ASSERT_EQ(FsFindFiles(root_.c_str(), P("root/*").c_str(), &list), 1);
    std::string names;
    for (auto& e : list)
        names += e.name + ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) ? "/ " : " ");
    EXPECT_EQ(names, "./ ../ a.txt abs/ in/ sub/ ");
    // No root at all (no account yet): nothing is reachable, not even "/".
    EXPECT_EQ(FsGetAttributes("", "/"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(FsOpenRead("", "/etc/hostname"), -1);
}

TEST_P(FsConfine, DirectoryFlippingWithOutsideLinkNeverLeaksOutsideContent) {
    // A second thread keeps exchanging root/e (a real directory) with an
    // outside link while reads go on; every read sees the inside file or fails.
    fsys::create_directories(P("root/e"));
    WriteFile(P("root/e/secret"), "INSIDE");
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        std::string a = P("root/e"), b = P("root/d");
        for (int i = 0; i < 200000 && !stop; i++)
            renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    int inside = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < until; i++) {
        std::string text = Apply(READ, P("root/e/secret"));
        ASSERT_TRUE(text.empty() || text == "INSIDE") << text;
        inside += !text.empty();
    }
    stop = true;
    flipper.join();
    EXPECT_GT(inside, 0);
}

// The root is found by its path for every operation, though a thread keeps
// the directories it used open: a root renamed away, replaced by another
// directory or by a link, removed and made again serves what its path names
// at that moment.
TEST_P(FsConfine, RootIsWhatItsPathNamesAtEachOperation) {
    const std::string root = P("root");
    const struct {
        const char* step;
        std::function<void()> change;
        const char* path;
        std::string result;
    } rows[] = {
        {"as made", [] {}, "root/a.txt", "a"},
        {"renamed away, a new one made",
         [&] {
             fsys::rename(root, P("old"));
             fsys::create_directory(root);
             WriteFile(P("root/a.txt"), "new a");
         },
         "root/a.txt", "new a"},
        {"the old one's other file", [] {}, "root/sub/inner.txt", ""},
        {"replaced by a link to root2",
         [&] {
             fsys::remove_all(root);
             fsys::create_directory_symlink(P("root2"), root);
         },
         "root/x", "x"},
        {"removed", [&] { fsys::remove(root); }, "root/x", ""},
        {"made again",
         [&] {
             fsys::create_directories(P("root/sub"));
             WriteFile(P("root/sub/inner.txt"), "again");
         },
         "root/sub/inner.txt", "again"},
    };
    for (const auto& row : rows) {
        row.change();
        EXPECT_EQ(Apply(READ, P(row.path)), row.result) << row.step;
        EXPECT_EQ(Apply(ATTR, P(row.path)), row.result.empty() ? "" : "done") << row.step;
    }
}

INSTANTIATE_TEST_SUITE_P(Resolution, FsConfine, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });

} // namespace
