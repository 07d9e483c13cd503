// Tests of the assertion report, the tracked allocator and whole-file loading.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <vector>

#include "Reports.h"
#include "TestFiles.h"
#include "platform/Platform.h"
#include "support/Track.h"

TEST(ReportAssertion, WritesTwoLinesWithBackslashedPath)
{
    ReportCapture capture;
    BeginReports(&capture);
    ReportAssertion("nSize > 5", "src/core/Strip.cpp", 123);
    EXPECT_EQ(EndReports(&capture), "ASSERTION FAILED ( nSize > 5 )\nin \"src\\core\\Strip.cpp\" : 123\n");
}

TEST(ReportAssertion, LibraryChecksNameTheirFileRelativeToTheProject)
{
    ReportCapture capture;
    BeginReports(&capture);
    int before = TrackLiveCount();
    int local = 0;
    TrackedFree(&local);  // never handed out: reported, not freed
    std::string text = EndReports(&capture);
    EXPECT_EQ(TrackLiveCount(), before);
    EXPECT_TRUE(std::regex_match(text, std::regex("Error : No Malloc Free\nASSERTION FAILED \\( 0 \\)\n"
                                                  "in \"src\\\\support\\\\Track\\.cpp\" : [0-9]+\n")))
        << text;
}

TEST(TrackedAlloc, ReleasedBlocksNeverFillTheTable)
{
    // Twice as many blocks as the table has slots, each released before
    // the next is taken: every slot comes back, nothing is reported.
    ReportCapture capture;
    BeginReports(&capture);
    int before = TrackLiveCount();
    for (int i = 0; i < 2 * TRACK_SLOT_COUNT; i++) {
        TrackedFree(TrackedAlloc(16));
    }
    EXPECT_EQ(EndReports(&capture), "");
    EXPECT_EQ(TrackLiveCount(), before);
}

TEST(TrackedAlloc, ZeroBytesGivesDistinctBlocks)
{
    void* a = TrackedAlloc(0);
    void* b = TrackedAlloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    TrackedFree(a);
    TrackedFree(b);
}

TEST(TrackedFree, NullDoesNothing)
{
    ReportCapture capture;
    BeginReports(&capture);
    int before = TrackLiveCount();
    TrackedFree(nullptr);
    EXPECT_EQ(EndReports(&capture), "");
    EXPECT_EQ(TrackLiveCount(), before);
}

TEST(TrackedFree, DoubleReleaseIsReportedNotFreedTwice)
{
    void* a = TrackedAlloc(8);
    TrackedFree(a);
    ReportCapture capture;
    BeginReports(&capture);
    TrackedFree(a);  // would be a double free were it handed to free()
    EXPECT_EQ(EndReports(&capture).rfind("Error : No Malloc Free\n", 0), 0u);
}

TEST(TrackedAlloc, FullTableStillHandsOutTheBlock)
{
    std::vector<void*> blocks((size_t)(TRACK_SLOT_COUNT - TrackLiveCount()));
    for (void*& block : blocks) {
        block = TrackedAlloc(1);
    }
    ReportCapture capture;
    BeginReports(&capture);
    void* extra = TrackedAlloc(1);
    std::string overflow = EndReports(&capture);
    EXPECT_NE(extra, nullptr);
    EXPECT_EQ(overflow.rfind("Error : Alloc check num over\nASSERTION FAILED ( 0 )\n", 0), 0u) << overflow;
    EXPECT_EQ(TrackLiveCount(), TRACK_SLOT_COUNT);

    // Its release is reported and TrackedFree does not hand it to free();
    // the test frees it itself.
    BeginReports(&capture);
    TrackedFree(extra);
    EXPECT_EQ(EndReports(&capture).rfind("Error : No Malloc Free\n", 0), 0u);
    free(extra);
    for (size_t i = blocks.size(); i-- > 0;) {
        TrackedFree(blocks[i]);
    }
    EXPECT_EQ(TrackLiveCount(), TRACK_SLOT_COUNT - (int)blocks.size());
}

class LoadWholeFileTest : public ::testing::Test {
protected:
    void SetUp() override { folder = MakeTempFolder(); }
    // Loads `path` as the rewrite does and closes it again.
    int32_t Load(const std::string& path, unsigned char** buffer)
    {
        PlatFile file;
        int32_t size = PlatLoadWholeFile(path.c_str(), &file, buffer);
        PlatCloseFile(&file);
        return size;
    }
    void TearDown() override
    {
        for (int kind = 0; kind < PLAT_FAULT_COUNT; kind++) {
            PlatSetFault(kind, 0);
        }
        RemoveTree(folder);
    }
    std::string folder;
};

TEST_F(LoadWholeFileTest, ReadsTheWholeFile)
{
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = (char)(i * 7);
    }
    WriteBytes(folder + "/a.jpg", bytes);
    unsigned char* buffer = nullptr;
    int before = TrackLiveCount();
    ASSERT_EQ(Load(folder + "/a.jpg", &buffer), 300000);
    EXPECT_EQ(std::string((char*)buffer, 300000), bytes);
    EXPECT_EQ(TrackLiveCount(), before + 1);
    TrackedFree(buffer);
}

TEST_F(LoadWholeFileTest, EmptyFileGivesZeroAndABlock)
{
    WriteBytes(folder + "/e.jpg", "");
    unsigned char* buffer = nullptr;
    ReportCapture capture;
    BeginReports(&capture);
    EXPECT_EQ(Load(folder + "/e.jpg", &buffer), 0);
    EXPECT_EQ(EndReports(&capture), "");
    EXPECT_NE(buffer, nullptr);
    TrackedFree(buffer);
}

// Each failure: the message line, a report, -1, the out-parameter
// untouched and no block left registered.
struct LoadFailure {
    const char* name;
    int fault;  // fault to inject, or -1
    bool missing;
    const char* message;
};

TEST_F(LoadWholeFileTest, FailuresLeaveNothingBehind)
{
    const LoadFailure cases[] = {
        {"missing file", -1, true, "Can't Get File Size\n"},
        {"cannot open", PLAT_FAULT_READ_OPEN, false, "Can't Open File\n"},
        {"short read", PLAT_FAULT_READ, false, "Can't Read File\n"},
    };
    for (const LoadFailure& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = folder + "/f.jpg";
        unlink(path.c_str());
        if (!c.missing) {
            WriteBytes(path, "\xFF\xD8 some bytes");
        }
        if (c.fault >= 0) {
            PlatSetFault(c.fault, 1);
        }
        unsigned char* buffer = (unsigned char*)&buffer;  // a sentinel value
        unsigned char* sentinel = buffer;
        int before = TrackLiveCount();
        ReportCapture capture;
        BeginReports(&capture);
        EXPECT_EQ(Load(path, &buffer), -1);
        std::string text = EndReports(&capture);
        EXPECT_EQ(text.rfind(std::string(c.message) + "ASSERTION FAILED ( 0 )\n", 0), 0u) << text;
        EXPECT_EQ(buffer, sentinel);
        EXPECT_EQ(TrackLiveCount(), before);
    }
}

TEST_F(LoadWholeFileTest, FileLargerThanItsSizeIsRefused)
{
    // /proc files report a size of 0 but deliver bytes: taking only the
    // reported size would let the rewrite cut the file short.
    unsigned char* buffer = nullptr;
    int before = TrackLiveCount();
    ReportCapture capture;
    BeginReports(&capture);
    EXPECT_EQ(Load("/proc/self/status", &buffer), -1);
    EXPECT_EQ(EndReports(&capture).rfind("Can't Read File\n", 0), 0u);
    EXPECT_EQ(TrackLiveCount(), before);
}

TEST_F(LoadWholeFileTest, FolderCannotBeLoaded)
{
    unsigned char* buffer = nullptr;
    int before = TrackLiveCount();
    ReportCapture capture;
    BeginReports(&capture);
    EXPECT_EQ(Load(folder, &buffer), -1);
    EndReports(&capture);
    EXPECT_EQ(TrackLiveCount(), before);
}

TEST_F(LoadWholeFileTest, SizeOfTwoGibibytesIsRefused)
{
    std::string path = folder + "/big.jpg";
    WriteBytes(path, "");
    ASSERT_EQ(truncate(path.c_str(), (off_t)INT32_MAX + 1), 0);  // sparse
    unsigned char* buffer = nullptr;
    ReportCapture capture;
    BeginReports(&capture);
    EXPECT_EQ(Load(path, &buffer), -1);
    EXPECT_EQ(EndReports(&capture).rfind("Can't Get File Size\n", 0), 0u);
}
