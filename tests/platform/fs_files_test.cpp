// The file layer's promises beyond confinement: read-only entries refused
// even to a server running as root, share modes between opens, renames that
// never replace a target, 64-bit sizes and offsets, and what listings return.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "test_support.h"

namespace fsys = std::filesystem;

namespace {

class FsFiles : public ::testing::Test {
protected:
    std::string P(const std::string& rel) const { return root_ + "/" + rel; }
    const char* R() const { return root_.c_str(); }
    void Write(const std::string& rel, const std::string& text) { bxtest::WriteFile(P(rel), text); }
    std::string Read(const std::string& rel) { return bxtest::ReadFile(P(rel)); }
    bxtest::TempDir temp_{"fsfiles"};
    std::string root_ = temp_.path;
};

TEST_F(FsFiles, ReadOnlyEntriesAreRefusedEvenToRoot) {
    Write("ro.txt", "keep");
    chmod(P("ro.txt").c_str(), 0444);
    fsys::create_directory(P("rodir"));
    chmod(P("rodir").c_str(), 0555);
    EXPECT_EQ(FsGetAttributes(R(), P("ro.txt").c_str()), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(FsGetAttributes(R(), P("rodir").c_str()),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(FsOpenWrite(R(), P("ro.txt").c_str(), 1), -1);
    EXPECT_EQ(FsLastError(), FS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(FsDeleteFile(R(), P("ro.txt").c_str()), 0);
    EXPECT_EQ(FsMoveFile(R(), P("ro.txt").c_str(), P("moved.txt").c_str()), 0);
    EXPECT_EQ(FsRemoveDirectory(R(), P("rodir").c_str()), 0);
    EXPECT_EQ(Read("ro.txt"), "keep");
    EXPECT_TRUE(fsys::is_directory(P("rodir")));
    // One write bit of any class is enough to count as writable.
    chmod(P("ro.txt").c_str(), 0464);
    EXPECT_EQ(FsGetAttributes(R(), P("ro.txt").c_str()), 0u);
    EXPECT_EQ(FsDeleteFile(R(), P("ro.txt").c_str()), 1);
}

TEST_F(FsFiles, ShareModesBetweenReadersAndWriters) {
    Write("f.txt", "content");
    int r1 = FsOpenRead(R(), P("f.txt").c_str());
    int r2 = FsOpenRead(R(), P("f.txt").c_str());
    ASSERT_GE(r1, 0);
    ASSERT_GE(r2, 0);
    // A writer is refused while readers hold the file, and the refused open
    // must not have emptied it.
    EXPECT_EQ(FsOpenWrite(R(), P("f.txt").c_str(), 1), -1);
    EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Read("f.txt"), "content");
    EXPECT_EQ(FsDeleteFile(R(), P("f.txt").c_str()), 0);
    EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
    FsClose(r1);
    FsClose(r2);
    int w = FsOpenWrite(R(), P("f.txt").c_str(), 0);
    ASSERT_GE(w, 0);
    EXPECT_EQ(FsOpenRead(R(), P("f.txt").c_str()), -1);
    EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
    EXPECT_EQ(FsOpenWrite(R(), P("f.txt").c_str(), 1), -1);
    EXPECT_EQ(FsMoveFile(R(), P("f.txt").c_str(), P("g.txt").c_str()), 0);
    // Reached through another name (a link inside the root): the same file.
    fsys::create_symlink("f.txt", P("alias"));
    EXPECT_EQ(FsOpenRead(R(), P("alias").c_str()), -1);
    FsClose(w);
    int r = FsOpenRead(R(), P("alias").c_str());
    EXPECT_GE(r, 0);
    FsClose(r);
    EXPECT_EQ(Read("f.txt"), "content");
}

TEST_F(FsFiles, MoveNeverReplacesATarget) {
    Write("a.txt", "A");
    Write("b.txt", "B");
    fsys::create_directory(P("d"));
    EXPECT_EQ(FsMoveFile(R(), P("a.txt").c_str(), P("b.txt").c_str()), 0);
    EXPECT_EQ(FsLastError(), FS_ERROR_FILE_EXISTS);
    EXPECT_EQ(FsMoveFile(R(), P("a.txt").c_str(), P("d").c_str()), 0);
    EXPECT_EQ(Read("a.txt"), "A");
    EXPECT_EQ(Read("b.txt"), "B");
    EXPECT_EQ(FsMoveFile(R(), P("a.txt").c_str(), P("d/a.txt").c_str()), 1);
    EXPECT_EQ(Read("d/a.txt"), "A");
    EXPECT_EQ(FsMoveFile(R(), P("b.txt").c_str(), P("nodir/b.txt").c_str()), 0);
    EXPECT_EQ(Read("b.txt"), "B");
}

TEST_F(FsFiles, SizesAndOffsetsBeyondFourGigabytes) {
    const uint64_t far = 5ull << 30;  // a sparse file: no real space used
    int w = FsOpenWrite(R(), P("big").c_str(), 1);
    ASSERT_GE(w, 0);
    ASSERT_EQ(FsSeek(w, far), 1);
    ASSERT_EQ(FsWrite(w, "Z", 1), 1);
    EXPECT_EQ(FsSize(w), static_cast<int64_t>(far + 1));
    FsClose(w);
    int r = FsOpenRead(R(), P("big").c_str());
    ASSERT_GE(r, 0);
    ASSERT_EQ(FsSeek(r, far), 1);
    char c = 0;
    EXPECT_EQ(FsRead(r, &c, 1), 1);
    EXPECT_EQ(c, 'Z');
    EXPECT_EQ(FsRead(r, &c, 1), 0);
    FsClose(r);
    std::vector<FsEntry> list;
    ASSERT_EQ(FsFindFiles(R(), P("big").c_str(), &list), 1);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].size, far + 1);
    EXPECT_EQ(list[0].name, "big");
}

TEST_F(FsFiles, ListingsMarkHiddenNamesAndStartWithDots) {
    fsys::create_directories(P("d/sub"));
    Write("d/b.txt", "bb");
    Write("d/.hidden", "h");
    std::vector<FsEntry> list;
    ASSERT_EQ(FsFindFiles(R(), P("d/*").c_str(), &list), 1);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].name, ".");
    EXPECT_EQ(list[1].name, "..");
    EXPECT_EQ(list[2].name, ".hidden");
    EXPECT_EQ(list[2].attributes, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(list[3].name, "b.txt");
    EXPECT_EQ(list[3].attributes, 0u);
    EXPECT_EQ(list[3].size, 2u);
    EXPECT_EQ(list[4].name, "sub");
    EXPECT_EQ(list[4].attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(list[0].attributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(FsFindFiles(R(), P("missing/*").c_str(), &list), 0);
    EXPECT_EQ(FsFindFiles(R(), P("d/b.txt/*").c_str(), &list), 0);
    EXPECT_EQ(FsFindFiles(R(), P("nothing").c_str(), &list), 0);
}

}  // namespace
