// The file layer's promises beyond confinement: read-only entries refused
// even to a server running as root, share modes between opens, renames that
// never replace a target, and 64-bit sizes. What listings return is shown by
// the listing tests and the confinement test's root listing.
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
    std::string P(const std::string& rel) const { return temp_.path + "/" + rel; }
    const char* R() const { return temp_.path.c_str(); }
    void Write(const std::string& rel, const std::string& text) { bxtest::WriteFile(P(rel), text); }
    std::string Read(const std::string& rel) { return bxtest::ReadFile(P(rel)); }
    bxtest::TempDir temp_{"fsfiles"};
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

// Readers and writers between connections are the concurrency tests'; a
// file in use may also not be deleted or moved, nor reached through a link.
TEST_F(FsFiles, FilesInUseAreNotDeletedMovedOrReachedThroughALink) {
    Write("f.txt", "content");
    fsys::create_symlink("f.txt", P("alias"));
    int r = FsOpenRead(R(), P("f.txt").c_str());
    ASSERT_GE(r, 0);
    EXPECT_EQ(FsDeleteFile(R(), P("f.txt").c_str()), 0);
    EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
    FsClose(r);
    int w = FsOpenWrite(R(), P("f.txt").c_str(), 0);
    ASSERT_GE(w, 0);
    EXPECT_EQ(FsMoveFile(R(), P("f.txt").c_str(), P("g.txt").c_str()), 0);
    EXPECT_EQ(FsOpenRead(R(), P("alias").c_str()), -1);
    EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
    FsClose(w);
    r = FsOpenRead(R(), P("alias").c_str());
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

// Offsets and sizes as a transfer sees them are the transfer tests'; the
// size alone is read here too, for appending.
TEST_F(FsFiles, SizeBeyondFourGigabytes) {
    Write("big", "");
    fsys::resize_file(P("big"), 5ull << 30); // a sparse file: no real space used
    int fd = FsOpenRead(R(), P("big").c_str());
    EXPECT_EQ(FsSize(fd), static_cast<int64_t>(5ull << 30));
    FsClose(fd);
}

} // namespace

// Two processes serving one tree: while the other process holds the file
// (each row: how), this one may only do what a session of the same process
// could; and the other process sees this one's opens in turn.
TEST(FsShare, RulesHoldBetweenProcesses) {
    bxtest::TempDir temp{"fsshare"};
    const std::string root = temp.path, f = root + "/f.txt";
    bxtest::WriteFile(f, "content");
    const struct {
        const char* held;
        bool read, write;
    } rows[] = {{"write", false, false}, {"read", true, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.held);
        bxtest::Child other;
        ASSERT_TRUE(other.Start("share_helper"));
        ASSERT_EQ(other.Ask(std::string(row.held) + " " + root + " " + f), "open");
        for (bool writer : {false, true}) {
            int fd = writer ? FsOpenWrite(root.c_str(), f.c_str(), 1)
                            : FsOpenRead(root.c_str(), f.c_str());
            EXPECT_EQ(fd >= 0, writer ? row.write : row.read) << "writer " << writer;
            if (fd < 0) EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
            FsClose(fd);
        }
        EXPECT_EQ(FsDeleteFile(root.c_str(), f.c_str()), 0);
        EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
        EXPECT_EQ(FsMoveFile(root.c_str(), f.c_str(), (root + "/g.txt").c_str()), 0);
        EXPECT_EQ(FsLastError(), FS_ERROR_SHARING_VIOLATION);
        other.Stop();
    }
    EXPECT_EQ(bxtest::ReadFile(f), "content") << "never truncated while held";
    int w = FsOpenWrite(root.c_str(), f.c_str(), 0);
    ASSERT_GE(w, 0);
    bxtest::Child other;
    ASSERT_TRUE(other.Start("share_helper"));
    EXPECT_EQ(other.Ask("read " + root + " " + f), "refused 32");
    EXPECT_EQ(other.Ask("delete " + root + " " + f), "refused 32");
    FsClose(w);
    EXPECT_EQ(other.Ask("read " + root + " " + f), "open");
    other.Stop();
    EXPECT_EQ(FsDeleteFile(root.c_str(), f.c_str()), 1) << "free once the other process ended";
}
