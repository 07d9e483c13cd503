// Tests that a rewrite never damages the original: every file operation of
// the rewrite fails in turn, and the file's protection is respected.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeUi.h"
#include "TestFiles.h"
#include "core/Strip.h"
#include "platform/Platform.h"
#include "support/Track.h"

class RewriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeTempFolder();
        path = folder + "/photo.jpg";
        FakeReset();
        g_allAppMode = 0;
        g_totalRemoved = 7;
        g_anyConverted = 0;
    }
    void TearDown() override
    {
        for (int kind = 0; kind < PLAT_FAULT_COUNT; kind++) {
            PlatSetFault(kind, 0);
        }
        RemoveTree(folder);
    }
    void Rewrite()
    {
        RewriteStripped((int32_t)input.size(), path.c_str(), (const unsigned char*)input.data());
    }
    // The original is byte-identical, alone in its folder, nothing was
    // logged, the counters are unchanged and one box says `text`.
    void ExpectUntouched(const std::string& text)
    {
        EXPECT_EQ(ReadBytes(path), input);
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"photo.jpg"});
        EXPECT_EQ(FakeLogText(), "");
        EXPECT_EQ(g_totalRemoved.load(), 7);
        EXPECT_EQ(g_anyConverted.load(), 0);
        auto boxes = FakeBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].owner, nullptr);
        EXPECT_EQ(boxes[0].caption, "Error");
        EXPECT_EQ(boxes[0].text, text);
    }
    std::string folder;
    std::string path;
    // Writes: FF D8 + JFIF, then Exif, then the image data (three ranges).
    std::string input = Soi() + Segment(0xE0, "JFIF") + Segment(0xE1, "<xmpmeta/>") + Segment(0xE1, "Exif") +
                        Segment(0xE1, "<xmpmeta/>") + ImageData();
};

struct FaultCase {
    const char* name;
    int kind;
    int nth;
    bool cantOpen;  // "Can't open: " rather than "File output error: "
};

TEST_F(RewriteTest, EachFailingOperationLeavesTheOriginal)
{
    const FaultCase cases[] = {
        {"opening the original", PLAT_FAULT_OPEN, 1, true},
        {"creating the temporary file", PLAT_FAULT_OPEN, 2, true},
        {"first write (FF D8 and a kept segment)", PLAT_FAULT_WRITE, 1, false},
        {"second write (a kept segment)", PLAT_FAULT_WRITE, 2, false},
        {"last write (the remainder)", PLAT_FAULT_WRITE, 3, false},
        {"replacing the original", PLAT_FAULT_REPLACE, 1, false},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        WriteBytes(path, input);
        int before = TrackLiveCount();
        PlatSetFault(c.kind, c.nth);
        Rewrite();
        PlatSetFault(c.kind, 0);
        ExpectUntouched(c.cantOpen ? "Can't open: " + path : "File output error: " + path + "\r\n");
        EXPECT_EQ(TrackLiveCount(), before);
    }
}

TEST_F(RewriteTest, ThreeWritesMakeTheWholeFile)
{
    WriteBytes(path, input);
    PlatSetFault(PLAT_FAULT_WRITE, 4);  // never reached
    Rewrite();
    EXPECT_EQ(ReadBytes(path), Soi() + Segment(0xE0, "JFIF") + Segment(0xE1, "Exif") + ImageData());
    EXPECT_EQ(g_totalRemoved.load(), 7 + 28);
    EXPECT_EQ(FakeLogText(), "XMP removed: " + path + "\r\n28 byte data was removed.\r\n");
}

TEST_F(RewriteTest, ReadOnlyFileCannotBeOpened)
{
    WriteBytes(path, input);
    chmod(path.c_str(), 0444);
    Rewrite();
    chmod(path.c_str(), 0644);
    ExpectUntouched("Can't open: " + path);
}

TEST_F(RewriteTest, PermissionsAreKept)
{
    WriteBytes(path, input);
    chmod(path.c_str(), 0640);
    Rewrite();
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_size, (off_t)(input.size() - 28));
}

TEST_F(RewriteTest, LinkStaysALinkAndItsTargetIsRewritten)
{
    std::string target = folder + "/real.jpg";
    WriteBytes(target, input);
    ASSERT_EQ(symlink("real.jpg", path.c_str()), 0);
    Rewrite();
    struct stat status;
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(ReadBytes(target).size(), input.size() - 28);
    EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{"photo.jpg", "real.jpg"}));
}

TEST_F(RewriteTest, TakenTemporaryNameIsNotOverwritten)
{
    WriteBytes(path, input);
    WriteBytes(path + ".marlovex~", "somebody's file");
    Rewrite();
    EXPECT_EQ(ReadBytes(path + ".marlovex~"), "somebody's file");
    EXPECT_EQ(ReadBytes(path).size(), input.size() - 28);
    EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{"photo.jpg", "photo.jpg.marlovex~"}));
}
