// Tests of the assertion report, the tracked allocator and file loading.
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

static int SlotOf(void* block)
{
    for (int i = 0; i < TRACK_SLOT_COUNT; i++) {
        if (g_trackSlots[i] == block) {
            return i;
        }
    }
    return -1;
}

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

TEST(TrackedAlloc, FreedSlotIsReusedFirst)
{
    int base = SlotOf(nullptr);
    void* a = TrackedAlloc(10);
    void* b = TrackedAlloc(10);
    EXPECT_EQ(SlotOf(a), base);
    EXPECT_EQ(SlotOf(b), base + 1);
    TrackedFree(a);
    void* c = TrackedAlloc(10);
    EXPECT_EQ(SlotOf(c), base);
    TrackedFree(b);
    TrackedFree(c);
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
    // Taking every slot through TrackedAlloc costs 5e9 slot visits under
    // the sanitizers; the free slots are occupied directly instead.
    static char occupied;
    std::vector<int> taken;
    for (int i = 0; i < TRACK_SLOT_COUNT; i++) {
        if (g_trackSlots[i] == nullptr) {
            g_trackSlots[i] = &occupied;
            taken.push_back(i);
        }
    }
    void* last = nullptr;
    if (!taken.empty()) {  // the last free slot is filled by a real allocation
        g_trackSlots[taken.back()] = nullptr;
        last = TrackedAlloc(1);
        EXPECT_EQ(SlotOf(last), taken.back());
    }
    EXPECT_EQ(TrackLiveCount(), TRACK_SLOT_COUNT);

    ReportCapture capture;
    BeginReports(&capture);
    void* extra = TrackedAlloc(1);
    std::string overflow = EndReports(&capture);
    EXPECT_NE(extra, nullptr);
    EXPECT_EQ(overflow.rfind("Error : Alloc check num over\nASSERTION FAILED ( 0 )\n", 0), 0u) << overflow;
    EXPECT_EQ(SlotOf(extra), -1);

    // Its release is reported and TrackedFree does not hand it to free();
    // the test frees it itself.
    BeginReports(&capture);
    TrackedFree(extra);
    EXPECT_EQ(EndReports(&capture).rfind("Error : No Malloc Free\n", 0), 0u);
    free(extra);

    TrackedFree(last);
    for (int i : taken) {
        g_trackSlots[i] = nullptr;
    }
}

class LoadWholeFileTest : public ::testing::Test {
protected:
    void SetUp() override { folder = MakeTempFolder(); }
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
    ASSERT_EQ(LoadWholeFile((folder + "/a.jpg").c_str(), &buffer), 300000);
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
    EXPECT_EQ(LoadWholeFile((folder + "/e.jpg").c_str(), &buffer), 0);
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
        EXPECT_EQ(LoadWholeFile(path.c_str(), &buffer), -1);
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
    EXPECT_EQ(LoadWholeFile("/proc/self/status", &buffer), -1);
    EXPECT_EQ(EndReports(&capture).rfind("Can't Read File\n", 0), 0u);
    EXPECT_EQ(TrackLiveCount(), before);
}

TEST_F(LoadWholeFileTest, FolderCannotBeLoaded)
{
    unsigned char* buffer = nullptr;
    int before = TrackLiveCount();
    ReportCapture capture;
    BeginReports(&capture);
    EXPECT_EQ(LoadWholeFile(folder.c_str(), &buffer), -1);
    EndReports(&capture);
    EXPECT_EQ(TrackLiveCount(), before);
}

TEST_F(LoadWholeFileTest, SizeOfTwoGibibytesIsRefused)
{
    std::string path = folder + "/big.jpg";
    WriteBytes(path, "");
    ASSERT_EQ(truncate(path.c_str(), (off_t)INT32_MAX + 1), 0);  // sparse
    ReportCapture capture;
    BeginReports(&capture);
    EXPECT_EQ(GetFileSizeByName(path.c_str()), -1);
    EXPECT_EQ(EndReports(&capture).rfind("Can't Get File Size\n", 0), 0u);
    ASSERT_EQ(truncate(path.c_str(), (off_t)INT32_MAX), 0);
    EXPECT_EQ(GetFileSizeByName(path.c_str()), INT32_MAX);
}
