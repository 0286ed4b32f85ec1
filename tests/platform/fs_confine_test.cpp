// Confinement of the file layer beyond what the directory commands' link
// test shows: paths not below the root, links that stay inside, and a
// directory swapped for an outside link after the check or while reads go
// on. Every case runs with the kernel's beneath resolution and with the
// component walk that replaces it on older kernels.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/fs.h"
#include "test_support.h"

namespace fsys = std::filesystem;

namespace {

using bxtest::ReadFile;
using bxtest::WriteFile;

std::string ReadFd(int fd) {
    std::string text;
    char buf[256];
    int64_t n;
    while ((n = FsRead(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
}

// temp/outside: a directory the user must never reach; temp/root: the root,
// holding in -> sub (relative) and abs -> absolute path of root/sub.
class FsConfine : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        FsSetWalkOnly(GetParam());
        char tmpl[] = "/tmp/fsconfineXXXXXX";
        temp_ = mkdtemp(tmpl);
        root_ = temp_ + "/root";
        outside_ = temp_ + "/outside";
        fsys::create_directories(outside_ + "/sub");
        fsys::create_directories(root_ + "/sub");
        WriteFile(outside_ + "/secret", "OUTSIDE");
        WriteFile(root_ + "/sub/inner.txt", "INSIDE");
        WriteFile(root_ + "/a.txt", "a");
        fsys::create_directory_symlink("sub", root_ + "/in");
        fsys::create_directory_symlink(root_ + "/sub", root_ + "/abs");
    }
    void TearDown() override {
        FsSetWalkOnly(0);
        fsys::remove_all(temp_);
    }
    std::string P(const std::string& rel) const { return root_ + "/" + rel; }
    const char* R() const { return root_.c_str(); }
    // Everything below outside_, to prove nothing there changed.
    std::string OutsideSnapshot() const {
        std::string s;
        for (auto& e : fsys::recursive_directory_iterator(outside_)) s += e.path().string() + "\n";
        return s + ReadFile(outside_ + "/secret");
    }

    std::string temp_, root_, outside_;
};

TEST_P(FsConfine, PathsNotBelowTheRootAreRefused) {
    EXPECT_EQ(FsOpenRead(R(), (outside_ + "/secret").c_str()), -1);
    EXPECT_EQ(FsLastError(), FS_ERROR_ACCESS_DENIED);
    // A sibling whose name merely starts with the root's name.
    fsys::create_directories(root_ + "2");
    WriteFile(root_ + "2/x", "x");
    EXPECT_EQ(FsGetAttributes(R(), (root_ + "2/x").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(FsGetAttributes(R(), P("..").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(FsGetAttributes(R(), P("../outside").c_str()), INVALID_FILE_ATTRIBUTES);
    // No root at all (no account yet): nothing is reachable, not even "/".
    EXPECT_EQ(FsGetAttributes("", "/"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(FsOpenRead("", "/etc/hostname"), -1);
}

TEST_P(FsConfine, LinksStayingInsideWorkAsOrdinaryEntries) {
    EXPECT_EQ(FsGetAttributes(R(), P("in").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(FsGetAttributes(R(), P("abs").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    int fd = FsOpenRead(R(), P("abs/inner.txt").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadFd(fd), "INSIDE");
    FsClose(fd);
    fd = FsOpenWrite(R(), P("in/new.txt").c_str(), 1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(FsWrite(fd, "new", 3), 3);
    FsClose(fd);
    EXPECT_EQ(ReadFile(root_ + "/sub/new.txt"), "new");
    EXPECT_EQ(FsCreateDirectory(R(), P("in/d").c_str()), 1);
    EXPECT_TRUE(fsys::is_directory(root_ + "/sub/d"));
    EXPECT_EQ(FsMoveFile(R(), P("in/new.txt").c_str(), P("moved.txt").c_str()), 1);
    EXPECT_EQ(ReadFile(root_ + "/moved.txt"), "new");
    // The root listing shows the inside links as directories and leaves out
    // the links that lead outside.
    fsys::create_directory_symlink("../outside", root_ + "/out");
    fsys::create_symlink(outside_ + "/secret", root_ + "/f");
    std::vector<FsEntry> list;
    ASSERT_EQ(FsFindFiles(R(), P("*").c_str(), &list), 1);
    std::string names;
    for (auto& e : list) names += e.name + ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) ? "/ " : " ");
    EXPECT_EQ(names, "./ ../ a.txt abs/ in/ moved.txt sub/ ");
}

TEST_P(FsConfine, DirectorySwappedForOutsideLinkAfterTheCheckIsRefused) {
    fsys::create_directories(root_ + "/d");
    ASSERT_EQ(FsGetAttributes(R(), P("d").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    fsys::remove(root_ + "/d");
    fsys::create_directory_symlink(outside_, root_ + "/d");
    std::string before = OutsideSnapshot();
    std::vector<FsEntry> list;
    EXPECT_EQ(FsFindFiles(R(), P("d/*").c_str(), &list), 0);
    EXPECT_EQ(FsOpenWrite(R(), P("d/x").c_str(), 1), -1);
    EXPECT_EQ(FsOpenRead(R(), P("d/secret").c_str()), -1);
    EXPECT_EQ(FsCreateDirectory(R(), P("d/x").c_str()), 0);
    EXPECT_EQ(FsDeleteFile(R(), P("d/secret").c_str()), 0);
    EXPECT_EQ(before, OutsideSnapshot());
}

TEST_P(FsConfine, DirectoryFlippingWithOutsideLinkNeverLeaksOutsideContent) {
    // A second thread keeps exchanging root/d (a real directory) with an
    // outside link while reads go on; every read sees the inside file or fails.
    fsys::create_directories(root_ + "/d");
    WriteFile(root_ + "/d/secret", "INSIDE");
    fsys::create_directory_symlink(outside_, root_ + "/dl");
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        std::string a = root_ + "/d", b = root_ + "/dl";
        for (int i = 0; i < 200000 && !stop; i++) renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    int inside = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < until; i++) {
        int fd = FsOpenRead(R(), P("d/secret").c_str());
        if (fd < 0) continue;
        std::string text = ReadFd(fd);
        FsClose(fd);
        ASSERT_EQ(text, "INSIDE");
        inside++;
    }
    stop = true;
    flipper.join();
    EXPECT_GT(inside, 0);
}

INSTANTIATE_TEST_SUITE_P(Resolution, FsConfine, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });

}  // namespace
