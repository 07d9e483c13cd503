// The support layer, the message catalogue and the log, the whole-file
// load: reports, tracked blocks, batches, languages.
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "TestKit.h"
#include "core/Catalogue.h"
#include "core/Log.h"
#include "platform/Platform.h"
#include "support/Track.h"

TEST(Track, ReportsAndTheTable)
{
    EXPECT_EQ(CaptureReports([] { ReportAssertion("nSize > 5", "src/core/Strip.cpp", 123); }),
              "ASSERTION FAILED ( nSize > 5 )\nin \"src\\core\\Strip.cpp\" : 123\n");
    int before = TrackLiveCount(), local = 0;
    void* a = TrackedAlloc(0);
    void* b = TrackedAlloc(0);
    EXPECT_TRUE(a != nullptr && b != nullptr && a != b);  // zero bytes: valid, distinct blocks
    TrackedFree(a);
    EXPECT_EQ(TrackLiveCount(), before + 1);
    std::string twice = CaptureReports([&] {
        TrackedFree(nullptr);  // nothing at all
        TrackedFree(a);        // released already: reported, not freed twice
        TrackedFree(&local);   // never handed out
    });
    EXPECT_TRUE(std::regex_match(twice, std::regex("(Error : No Malloc Free\nASSERTION FAILED \\( 0 \\)\n"
                                                   "in \"src\\\\support\\\\Track\\.cpp\" : [0-9]+\n){2}")))
        << twice;
    TrackedFree(b);
    // Twice as many blocks as slots, each released before the next: no report.
    EXPECT_EQ(CaptureReports([] {
                  for (int i = 0; i < 2 * TRACK_SLOT_COUNT; i++) {
                      TrackedFree(TrackedAlloc(16));
                  }
              }),
              "");
    char* text = FormatText("%s|%d", std::string(5000, 'y').c_str(), INT32_MIN);
    EXPECT_EQ(std::string(text), std::string(5000, 'y') + "|-2147483648");  // sized from its parts
    TrackedFree(text);
    EXPECT_EQ(TrackLiveCount(), before);
}

TEST(Track, FullTableStillHandsOutTheBlock)
{
    std::vector<void*> held((size_t)(TRACK_SLOT_COUNT - TrackLiveCount()));
    for (void*& block : held) {
        block = TrackedAlloc(1);
    }
    void* extra = nullptr;
    EXPECT_EQ(CaptureReports([&] { extra = TrackedAlloc(1); }).rfind("Error : Alloc check num over\nASSERTION", 0), 0u);
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(TrackLiveCount(), TRACK_SLOT_COUNT);
    EXPECT_EQ(CaptureReports([&] { TrackedFree(extra); }).rfind("Error : No Malloc Free\n", 0), 0u);
    free(extra);  // TrackedFree did not
    for (size_t i = held.size(); i-- > 0;) {
        TrackedFree(held[i]);
    }
    void* again = TrackedAlloc(1);  // the slots came back
    EXPECT_EQ(TrackLiveCount(), TRACK_SLOT_COUNT - (int)held.size() + 1);
    TrackedFree(again);
}

// Writes of at most 64 KiB that end on the file's 64 KiB boundaries,
// temporary names that differ from one try to the next, and the root
// folder, never walked: the root itself however written, nothing else.
TEST(Platform, WriteBlocksTemporaryNumbersAndRoots)
{
    const struct {
        const char* path;
        int root;
    } roots[] = {{"/", 1}, {"//", 1}, {"/.", 1}, {"/./..//", 1}, {"/ab", 0}, {"/...", 0}, {"/.a", 0}, {"ab", 0}};
    for (const auto& c : roots) {
        EXPECT_EQ(PlatIsRootFolder(c.path), c.root) << c.path;
    }
    const int64_t cases[][3] = {{0, 10, 10},       {0, 65536, 65536}, {0, 70000, 65536},     {100, 70000, 65436},
                                {65535, 5, 1},     {65536, 70000, 65536}, {131071, 2, 1}, {131072, 65537, 65536}};
    for (const auto& c : cases) {
        EXPECT_EQ(PlatNextWriteBlock(c[0], (uint32_t)c[1]), (uint32_t)c[2]) << c[0] << " " << c[1];
    }
    uint32_t drawn = PlatTemporaryNumber(1);
    EXPECT_NE(PlatTemporaryNumber(1), drawn);
    PlatSetTemporaryNumbers(5);
    drawn = PlatTemporaryNumber(1);
    EXPECT_EQ(PlatTemporaryNumber(1), drawn + 1);
    PlatSetTemporaryNumbers(0);
}

//----------------------------------------------------------------------------
class SupportTest : public TempTest {};

// A load: its result, what it reported, its block. Each failure leaves the
// out-parameter untouched and nothing registered (the fixture checks).
TEST_F(SupportTest, LoadTable)
{
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = (char)(i * 7);
    }
    const struct {
        const char* name;
        std::string path, content;  // content "-": none
        int fault;
        int32_t size;
        const char* report;
    } cases[] = {
        {"whole", "/a.jpg", bytes, 0, 300000, ""},
        {"empty", "/e.jpg", "", 0, 0, ""},
        {"missing", "/m.jpg", "-", 0, -1, "Can't Get File Size\n"},
        {"cannot open", "/f.jpg", "x", PLAT_FAULT_READ_OPEN, -1, "Can't Open File\n"},
        {"short read", "/s.jpg", "xyz", PLAT_FAULT_READ, -1, "Can't Read File\n"},
        {"a folder", "", "-", 0, -1, "Can't Read File\n"},
        // /proc files say 0 bytes and give more: cut to its size, it would be lost.
        {"longer than its size", "/proc/self/status", "-", 0, -1, "Can't Read File\n"},
        {"2 GiB", "/big.jpg", "", 0, -1, "Can't Get File Size\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = c.path.compare(0, 6, "/proc/") == 0 ? c.path : root + c.path;
        if (c.content != "-") {
            WriteBytes(path, c.content);
        }
        if (c.path == "/big.jpg") {
            ASSERT_EQ(truncate(path.c_str(), (off_t)INT32_MAX + 1), 0);  // sparse
        }
        PlatSetFault(c.fault, c.fault ? 1 : 0);
        PlatFile file;
        unsigned char* buffer = (unsigned char*)&file;  // a sentinel
        int32_t size = 0;
        std::string report = CaptureReports([&] { size = PlatLoadWholeFile(path.c_str(), &file, &buffer); });
        PlatCloseFile(&file);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(report.substr(0, strlen(c.report)), c.report);
        EXPECT_EQ(report.empty(), *c.report == '\0');
        EXPECT_EQ(size >= 0 ? std::string((char*)buffer, (size_t)size) : "", size >= 0 ? c.content : "");
        EXPECT_EQ(buffer == (unsigned char*)&file, size < 0);
        if (size >= 0) {
            TrackedFree(buffer);
        }
    }
}

// Each entry has a text of its own in each language, and the prefix of a
// per-file line ends with ": " in both, so the path stands apart.
TEST(Catalogue, Languages)
{
    for (int id = 0; id < MSG_COUNT; id++) {
        EXPECT_STRNE(g_catalogueUtf8[id][0], g_catalogueUtf8[id][1]) << id;
    }
    for (int id : {MSG_CANT_OPEN, MSG_FILE_OUTPUT_ERROR, MSG_APP_REMOVED, MSG_XMP_REMOVED, MSG_CANT_READ,
                   MSG_TOO_SMALL, MSG_HEADER_BROKEN, MSG_NO_APP, MSG_NO_XMP, MSG_REPAIRED, MSG_LEFTOVER_KEPT}) {
        for (int language : {0, 1}) {
            std::string text = g_catalogueUtf8[id][language];
            EXPECT_EQ(text.substr(text.size() - 2), ": ") << id << " " << language;
        }
    }
}

// Gathered text reaches the pane in one append, before any box, at its
// full length; a clear drops what it would erase; a box's text is never cut.
TEST_F(SupportTest, LogBatchesClearsAndBoxes)
{
    SetLogBatching(3600 * 1000);
    AppendLog("dropped\r\n");
    ClearLog(nullptr);
    AppendReport(MSG_NO_XMP, "/p/a.jpg");
    EXPECT_EQ(FakeTimeline(), "<clear>");
    std::string path = "/" + std::string(1500, 'x') + ".jpg";
    ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path.c_str(), "\r\n");
    EXPECT_EQ(FakeTimeline(), "<clear>No XMP: /p/a.jpg\r\n<box unowned Error: File output error: " + path + "\r\n>");
    EXPECT_EQ(FakeAppends(), 1);
    for (size_t size : {65535u, 65536u, 70000u}) {  // one byte short of the batch's size, exactly it, more
        FakeReset();
        std::string text(size, 't');
        AppendLog("a");
        AppendLog(text.c_str());
        AppendLog(text.substr(0, 65534).c_str());
        AppendLog("b");
        FlushLog();
        EXPECT_EQ(FakeLog(), "a" + text + text.substr(0, 65534) + "b") << size;
    }
}
