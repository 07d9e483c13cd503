// Tests of the candidate filter and the per-file step.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FakeUi.h"
#include "TestFiles.h"
#include "core/Convert.h"
#include "platform/Platform.h"
#include "support/Track.h"

class ConvertTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = MakeTempFolder();
        ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
        ASSERT_EQ(chdir(root.c_str()), 0);  // relative paths set the positions
        FakeReset();
    }
    void TearDown() override
    {
        PlatSetFault(PLAT_FAULT_READ_OPEN, 0);
        EXPECT_EQ(chdir(saved), 0);
        RemoveTree(root);
    }
    // Makes `path` (relative to the test folder) with its folders.
    void Make(const std::string& path, const std::string& bytes = "x")
    {
        for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
            mkdir(path.substr(0, at).c_str(), 0755);
        }
        WriteBytes(path, bytes);
    }
    std::string root;
    char saved[4096];
};

struct CandidateCase {
    const char* path;
    int expected;
};

TEST_F(ConvertTest, CandidateTable)
{
    const CandidateCase cases[] = {
        {"a/photo.JPG", 1},
        {"a/photo.Jpeg", 1},
        {"a/x.jPeG", 1},
        {"a/y.jpG", 1},
        {"a/photo.jpe", 0},
        {"a/photo.jfif", 0},
        {"a/jpg", 0},
        {"a/jpeg", 0},
        {"a/x.jpg.txt", 0},
        {"a/x,jpg", 0},
        {"b.jpg", 1},     // five bytes: the shortest candidate
        {"ab/c.jpg", 1},  // ten bytes or fewer: no recycle test
        // "recycle" at positions 4 to 10, as in X:\$Recycle.Bin\...
        {"xy_$Recycle.Bin/S-1-5/$RABC123.jpg", 0},
        {"xy_$RECYCLE.BIN/a.jpg", 0},
        {"xy_$rEcYcLe.bin/a.jpg", 0},
        {"dd_x/Recycle/a.jpg", 1},  // the word starts at position 5
        {"ddd_Recycl/a.jpg", 1},
        {"recycle/ab/a.jpg", 1},    // at position 0
    };
    for (const CandidateCase& c : cases) {
        Make(c.path);
        EXPECT_EQ(IsJpegCandidate(c.path), c.expected) << c.path;
    }
}

TEST_F(ConvertTest, AttributesRejectHiddenFoldersAndMissingPaths)
{
    Make("d/.hidden.jpg");
    Make("d/readonly.jpg");
    chmod("d/readonly.jpg", 0444);
    mkdir("d/folder.jpg", 0755);
    EXPECT_EQ(IsJpegCandidate("d/.hidden.jpg"), 0);
    EXPECT_EQ(IsJpegCandidate("d/readonly.jpg"), 1);  // its rewrite fails to open later
    EXPECT_EQ(IsJpegCandidate("d/folder.jpg"), 0);
    EXPECT_EQ(IsJpegCandidate("d/missing.jpg"), 0);
    EXPECT_EQ(IsJpegCandidate(".jpg"), 0);
}

TEST_F(ConvertTest, ListCandidateLogsOnlyCandidates)
{
    Make("l/a.jpg");
    Make("l/b.png");
    ListCandidate("l/a.jpg");
    ListCandidate("l/b.png");
    EXPECT_EQ(FakeLogText(), "l/a.jpg\r\n");
}

struct ConvertCase {
    const char* name;
    int allApp;
    std::string bytes;
    const char* logPrefix;
    int32_t removed;  // -1: not rewritten
};

TEST_F(ConvertTest, OutcomeTable)
{
    const std::string xmp = Segment(0xE1, "<x:xmpmeta/>");
    const std::string exif = Segment(0xE1, "Exif");
    const ConvertCase cases[] = {
        {"empty", 0, "", "Too small: ", -1},
        {"five bytes", 0, std::string("\xFF\xD8\xFF\xE1\x00", 5), "Too small: ", -1},
        {"PNG named .jpg", 0, "\x89PNG\r\n\x1a\n....", "Header Broken: ", -1},
        {"FF D9 start", 0, std::string("\xFF\xD9\xFF\xE1\x00\x10", 6), "Header Broken: ", -1},
        {"no XMP", 0, Soi() + exif + ImageData(), "No XMP: ", -1},
        {"no APP", 1, Soi() + ImageData(), "No APP header: ", -1},
        {"XMP", 0, Soi() + exif + xmp + ImageData(), "XMP removed: ", (int32_t)xmp.size()},
        {"all APP", 1, Soi() + exif + xmp + ImageData(), "APP headers removed: ", (int32_t)(exif.size() + xmp.size())},
    };
    for (const ConvertCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        Make("c/f.jpg", c.bytes);
        int before = TrackLiveCount();
        int descriptors = OpenDescriptorCount();
        EXPECT_EQ(ConvertFile("c/f.jpg", c.allApp), c.removed);
        EXPECT_EQ(TrackLiveCount(), before);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        EXPECT_EQ(FakeLogText().rfind(std::string(c.logPrefix) + "c/f.jpg\r\n", 0), 0u) << FakeLogText();
    }
}

// What cannot be read is logged, never read: a FIFO would block the open
// for ever, devices and sockets are not photos, a link to one is no better.
struct UnreadableCase {
    const char* name;
    int (*make)(const char* path);
};

static int MakeFifo(const char* path)
{
    return mkfifo(path, 0644);
}

static int LinkToDevice(const char* path)
{
    return symlink("/dev/zero", path);
}

static int InjectOpenFault(const char* path)
{
    WriteBytes(path, Soi() + ImageData());
    PlatSetFault(PLAT_FAULT_READ_OPEN, 1);
    return 0;
}

TEST_F(ConvertTest, UnreadableFileIsLoggedAndNeverRead)
{
    const UnreadableCase cases[] = {
        {"cannot be opened", InjectOpenFault},
        {"a FIFO", MakeFifo},
        {"a link to a device", LinkToDevice},
    };
    mkdir("u", 0755);
    for (const UnreadableCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        unlink("u/f.jpg");
        ASSERT_EQ(c.make("u/f.jpg"), 0);
        int descriptors = OpenDescriptorCount();
        EXPECT_EQ(ConvertFile("u/f.jpg", 0), -1);
        EXPECT_EQ(FakeLogText(), "Can't read: u/f.jpg\r\n");
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
    }
}

TEST_F(ConvertTest, NonCandidateIsSkippedSilently)
{
    Make("n/f.txt", Soi() + Segment(0xE1, "xmpmeta") + ImageData());
    EXPECT_EQ(ConvertFile("n/f.txt", 0), -1);
    EXPECT_EQ(FakeLogText(), "");
    EXPECT_EQ(ReadBytes("n/f.txt"), Soi() + Segment(0xE1, "xmpmeta") + ImageData());
}
