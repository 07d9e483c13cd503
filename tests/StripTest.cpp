// Tests of the signature search, the APP-run scan and the rewrite, in both
// modes, on files in a temporary folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FakeUi.h"
#include "Reports.h"
#include "TestFiles.h"
#include "core/Convert.h"
#include "core/Strip.h"
#include "support/Track.h"

static int32_t Find(const std::string& haystack, int32_t count, const std::string& needle)
{
    return FindBytes((const unsigned char*)haystack.data(), count, needle.data(), (int32_t)needle.size());
}

TEST(FindBytes, EveryAlignmentAndNeedleLength)
{
    // Needles of 1 to 9 bytes cover the four-byte stride with tails of
    // 0 to 3 bytes; each is placed at every offset of a 24-byte haystack.
    const std::string needle = "xmpmetaQZ";
    for (int32_t len = 1; len <= 9; len++) {
        std::string want = needle.substr(0, (size_t)len);
        for (int32_t at = 0; at + len <= 24; at++) {
            std::string hay(24, '.');
            hay.replace((size_t)at, (size_t)len, want);
            SCOPED_TRACE("len " + std::to_string(len) + " at " + std::to_string(at));
            EXPECT_EQ(Find(hay, 24, want), at);
            EXPECT_EQ(Find(hay, at + len, want), at);      // ends exactly at count
            EXPECT_EQ(Find(hay, at + len - 1, want), -1);  // one byte short
        }
    }
}

struct FindCase {
    const char* name;
    std::string haystack;
    int32_t count;
    const char* needle;
    int32_t expected;
};

TEST(FindBytes, Table)
{
    const FindCase cases[] = {
        {"first of two", "xmpmeta xmpmeta", 15, "xmpmeta", 0},
        {"mismatch in the tail", "xmpmetb xmpmeta", 15, "xmpmeta", 8},
        {"mismatch in the head", "ympmeta", 7, "xmpmeta", -1},
        {"no case folding", "XMPMETA", 7, "xmpmeta", -1},
        {"count shorter than needle", "xmpmet", 6, "xmpmeta", -1},
        {"zero count", "", 0, "xmpmeta", -1},
        {"negative count", "xmpmeta", -1, "xmpmeta", -1},
        {"very negative count", "xmpmeta", -2147483647 - 1, "xmpmeta", -1},
        {"partial match then match", "xmpmexmpmeta", 12, "xmpmeta", 5},
        {"binary bytes", std::string("\0\xFFxmpmeta", 9), 9, "xmpmeta", 2},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Find(c.haystack, c.count, c.needle), c.expected);
    }
}

//----------------------------------------------------------------------------
// Scan and rewrite.

static const std::string JFIF = Segment(0xE0, std::string("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
static const std::string EXIF = Segment(0xE1, std::string("Exif\0\0MM\0*\0\0\0\x08", 14) + std::string(40, 'e'));
static const std::string XMP = Segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) +
                                                 "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>");
static const std::string ICC = Segment(0xE2, std::string("ICC_PROFILE\0\x01\x01", 14) + std::string(100, 'c'));
static const std::string ADOBE = Segment(0xEE, std::string("Adobe\0\x64\0\0\0\0\x01", 12));
static const std::string IMAGE = ImageData();

// Expected outcomes of one file.
enum Outcome {
    NOTHING,   // the scan answers 0; the file is not rewritten
    REWRITTEN, // rewritten to `output`, R = `removed`
    OUT_ERROR, // "File output error: " box, file unchanged
};

struct StripCase {
    const char* name;
    int allApp;
    std::string input;
    Outcome outcome;
    std::string output;
    int32_t removed;
};

static std::vector<StripCase> StripCases()
{
    std::string ps = "P";  // payload filler
    std::string xmpAt0 = Segment(0xE1, "xmpmeta and more");
    std::string tail3 = std::string("\xFF\xE1\x00", 3);
    std::string runsPast = SegmentWithLength(0xE1, 5000, "short payload");
    std::string straddleA = Segment(0xE1, "....xmp");
    std::string straddleB = Segment(0xE1, "meta....");
    std::string adobeXmp = Segment(0xEE, "Adobe with an xmpmeta packet");
    // Its length field claims one byte more than the file holds.
    std::string onePast = SegmentWithLength(0xE1, 17, std::string("<xmpmeta/> Adobe", 14));
    std::string many, manyOut;
    int32_t manyRemoved = 0;
    for (int i = 0; i < 40; i++) {
        std::string seg = (i % 4 == 1) ? Segment((unsigned char)(0xE0 + i % 16), "<xmpmeta " + std::to_string(i) + ">")
                                       : Segment((unsigned char)(0xE0 + i % 16), "plain " + std::to_string(i));
        many += seg;
        if (i % 4 == 1) {
            manyRemoved += (int32_t)seg.size();
        } else {
            manyOut += seg;
        }
    }
    int32_t X = (int32_t)XMP.size();
    return {
        // XMP mode.
        {"xmp: JFIF, Exif, XMP", 0, Soi() + JFIF + EXIF + XMP + IMAGE, REWRITTEN, Soi() + JFIF + EXIF + IMAGE, X},
        {"xmp: nothing to remove", 0, Soi() + JFIF + EXIF + ICC + IMAGE, NOTHING, "", 0},
        {"xmp: in APP13", 0, Soi() + JFIF + Segment(0xED, "Photoshop xmpmeta") + IMAGE, REWRITTEN, Soi() + JFIF + IMAGE, 21},
        {"xmp: in APP2", 0, Soi() + Segment(0xE2, "xmpmeta") + EXIF + IMAGE, REWRITTEN, Soi() + EXIF + IMAGE, 11},
        {"xmp: in APP15", 0, Soi() + Segment(0xEF, "zz xmpmeta") + IMAGE, REWRITTEN, Soi() + IMAGE, 14},
        {"xmp: signature at payload start", 0, Soi() + xmpAt0 + IMAGE, REWRITTEN, Soi() + IMAGE, (int32_t)xmpAt0.size()},
        {"xmp: two XMP segments", 0, Soi() + XMP + JFIF + XMP + IMAGE, REWRITTEN, Soi() + JFIF + IMAGE, 2 * X},
        {"xmp: many segments keep their order", 0, Soi() + many + IMAGE, REWRITTEN, Soi() + manyOut + IMAGE, manyRemoved},
        {"xmp: signature straddles two segments", 0, Soi() + straddleA + straddleB + IMAGE, NOTHING, "", 0},
        {"xmp: after a non-APP marker", 0, Soi() + JFIF + IMAGE + XMP, NOTHING, "", 0},
        {"xmp: no APP run", 0, Soi() + IMAGE, NOTHING, "", 0},
        {"xmp: length past the end, no XMP before", 0, Soi() + JFIF + runsPast, NOTHING, "", 0},
        {"xmp: length past the end after XMP", 0, Soi() + XMP + runsPast, REWRITTEN, Soi() + runsPast, X},
        {"xmp: length 0, no XMP before", 0, Soi() + SegmentWithLength(0xE1, 0, "") + IMAGE, NOTHING, "", 0},
        {"xmp: length 1, no XMP before", 0, Soi() + SegmentWithLength(0xE1, 1, "") + IMAGE, NOTHING, "", 0},
        {"xmp: length 0 after XMP", 0, Soi() + XMP + SegmentWithLength(0xE1, 0, "xmpmeta") + IMAGE, REWRITTEN,
         Soi() + SegmentWithLength(0xE1, 0, "xmpmeta") + IMAGE, X},
        {"xmp: length 2 (empty payload)", 0, Soi() + SegmentWithLength(0xE1, 2, "") + XMP + IMAGE, REWRITTEN,
         Soi() + SegmentWithLength(0xE1, 2, "") + IMAGE, X},
        {"xmp: ends after a marker pair", 0, Soi() + JFIF + "\xFF\xE1", NOTHING, "", 0},
        {"xmp: XMP then a marker pair at the end", 0, Soi() + XMP + "\xFF\xE1", REWRITTEN, Soi() + "\xFF\xE1", X},
        {"xmp: XMP then one byte", 0, Soi() + XMP + "\xFF", REWRITTEN, Soi() + "\xFF", X},
        {"xmp: XMP then three bytes", 0, Soi() + XMP + tail3, REWRITTEN, Soi() + tail3, X},
        {"xmp: nothing after the run", 0, Soi() + JFIF + XMP, OUT_ERROR, "", 0},
        {"xmp: Adobe segment holding XMP", 0, Soi() + adobeXmp + IMAGE, REWRITTEN, Soi() + IMAGE, (int32_t)adobeXmp.size()},
        {"xmp: length one past the end after XMP", 0, Soi() + XMP + onePast, REWRITTEN, Soi() + onePast, X},
        {"xmp: a kept segment last, nothing after", 0, Soi() + XMP + JFIF, OUT_ERROR, "", 0},
        // All-APP mode.
        {"all: JFIF and Exif", 1, Soi() + JFIF + EXIF + IMAGE, REWRITTEN, Soi() + IMAGE, (int32_t)(JFIF.size() + EXIF.size())},
        {"all: no APP right after SOI", 1, Soi() + IMAGE + JFIF, NOTHING, "", 0},
        {"all: APP15 and ICC", 1, Soi() + Segment(0xEF, ps) + ICC + IMAGE, REWRITTEN, Soi() + IMAGE, (int32_t)(5 + ICC.size())},
        // A damaged first segment ends the run: nothing to remove, so the
        // file is not rewritten to itself.
        {"all: first length past the end", 1, Soi() + runsPast, NOTHING, "", 0},
        {"all: length 0 ends the run", 1, Soi() + SegmentWithLength(0xE1, 0, "") + IMAGE, NOTHING, "", 0},
        {"all: length one past the end after JFIF", 1, Soi() + JFIF + onePast, REWRITTEN, Soi() + onePast,
         (int32_t)JFIF.size()},
        {"all: length 1 after JFIF", 1, Soi() + JFIF + SegmentWithLength(0xE1, 1, "\xFF\xE1") + IMAGE, REWRITTEN,
         Soi() + SegmentWithLength(0xE1, 1, "\xFF\xE1") + IMAGE, (int32_t)JFIF.size()},
        {"all: ends after a marker pair", 1, Soi() + JFIF + "\xFF\xE1", REWRITTEN, Soi() + "\xFF\xE1", (int32_t)JFIF.size()},
        {"all: nothing after the run", 1, Soi() + JFIF + EXIF, OUT_ERROR, "", 0},
        // The Adobe colour segment stays in all-APP mode.
        {"all: JFIF, Adobe, Exif, XMP", 1, Soi() + JFIF + ADOBE + EXIF + XMP + IMAGE, REWRITTEN, Soi() + ADOBE + IMAGE,
         (int32_t)(JFIF.size() + EXIF.size() + XMP.size())},
        {"all: only Adobe", 1, Soi() + ADOBE + IMAGE, NOTHING, "", 0},
        {"all: Adobe first, then Exif", 1, Soi() + ADOBE + EXIF + IMAGE, REWRITTEN, Soi() + ADOBE + IMAGE, (int32_t)EXIF.size()},
        {"all: 'Adob' with L = 6", 1, Soi() + SegmentWithLength(0xEE, 6, "Adob") + IMAGE, REWRITTEN, Soi() + IMAGE, 8},
        {"all: APP14 Ducky", 1, Soi() + Segment(0xEE, "Ducky\x01") + IMAGE, REWRITTEN, Soi() + IMAGE, 10},
        {"all: Adobe payload in APP1", 1, Soi() + Segment(0xE1, "Adobe.") + IMAGE, REWRITTEN, Soi() + IMAGE, 10},
        {"all: Adobe running past the end", 1, Soi() + SegmentWithLength(0xEE, 500, "Adobe\0\0\0\0\0"), NOTHING, "", 0},
        {"all: APP14 with L = 2 at the end", 1, Soi() + JFIF + SegmentWithLength(0xEE, 2, ""), OUT_ERROR, "", 0},
        {"all: Adobe holding XMP is kept", 1, Soi() + adobeXmp + IMAGE, NOTHING, "", 0},
        {"all: Adobe then Exif, nothing after", 1, Soi() + ADOBE + EXIF, OUT_ERROR, "", 0},
    };
}

class StripTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeTempFolder();
        FakeReset();
    }
    void TearDown() override { RemoveTree(folder); }
    std::string folder;
};

// Every case through the per-file step: loaded from a file, scanned, and
// rewritten or left alone, with its log line or box.
TEST_F(StripTest, ScanAndRewriteTable)
{
    for (const StripCase& c : StripCases()) {
        SCOPED_TRACE(c.name);
        FakeReset();
        std::string path = folder + "/photo.jpg";
        WriteBytes(path, c.input);
        int before = TrackLiveCount();
        const unsigned char* data = (const unsigned char*)c.input.data();
        int32_t size = (int32_t)c.input.size();
        ASSERT_EQ(HasRemovableSegment(size, data, c.allApp), c.outcome != NOTHING);

        int32_t removed = ConvertFile(path.c_str(), c.allApp);
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"photo.jpg"});  // no temporary file left
        EXPECT_EQ(TrackLiveCount(), before);
        std::string prefix = c.allApp ? "APP headers removed: " : "XMP removed: ";
        if (c.outcome == REWRITTEN) {
            EXPECT_EQ(ReadBytes(path), c.output);
            EXPECT_EQ((int32_t)(c.input.size() - c.output.size()), c.removed);
            EXPECT_EQ(removed, c.removed);
            EXPECT_TRUE(FakeBoxes().empty());
            EXPECT_EQ(FakeLogText(), prefix + path + "\r\n" + std::to_string(c.removed) + " byte data was removed.\r\n");
            continue;
        }
        EXPECT_EQ(ReadBytes(path), c.input);
        EXPECT_EQ(removed, -1);
        if (c.outcome == NOTHING) {
            EXPECT_EQ(FakeLogText(), (c.allApp ? "No APP header: " : "No XMP: ") + path + "\r\n");
            EXPECT_TRUE(FakeBoxes().empty());
        } else {
            EXPECT_EQ(FakeLogText(), "");
            auto boxes = FakeBoxes();
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, "File output error: " + path + "\r\n");
        }
    }
}

// The strip on its own writes contiguous ranges; the output equals the
// input with the removed segments cut out, whatever the writes' sizes.
static int Collect(void* context, const unsigned char* bytes, int32_t count)
{
    ((std::string*)context)->append((const char*)bytes, (size_t)count);
    return 1;
}

TEST_F(StripTest, StripSegmentsMatchesTheTable)
{
    for (const StripCase& c : StripCases()) {
        if (c.outcome != REWRITTEN) {
            continue;
        }
        SCOPED_TRACE(c.name);
        std::string out;
        EXPECT_EQ(StripSegments((int32_t)c.input.size(), (const unsigned char*)c.input.data(), c.allApp, Collect, &out),
                  c.removed);
        EXPECT_EQ(out, c.output);
    }
}

TEST_F(StripTest, SizeNotAboveFiveIsReportedAndScanCarriesOn)
{
    ReportCapture capture;
    BeginReports(&capture);
    const unsigned char data[5] = {0xFF, 0xD8, 0xFF, 0xE1, 0x00};
    EXPECT_EQ(HasRemovableSegment(5, data, 0), 0);
    std::string text = EndReports(&capture);
    EXPECT_EQ(text.rfind("ASSERTION FAILED ( nSize > 5 )\nin \"src\\core\\Strip.cpp\" : ", 0), 0u) << text;
}

TEST_F(StripTest, VanishedFileIsLoggedNotCreated)
{
    std::string path = folder + "/gone.jpg";
    std::string input = Soi() + XMP + IMAGE;
    WriteBytes(path, input);
    PlatFile file;
    unsigned char* data = nullptr;
    ASSERT_EQ(PlatLoadWholeFile(path.c_str(), &file, &data), (int32_t)input.size());
    unlink(path.c_str());
    ReportCapture capture;
    BeginReports(&capture);
    EXPECT_EQ(RewriteStripped((int32_t)input.size(), path.c_str(), data, 0, &file), -1);
    std::string text = EndReports(&capture);
    PlatCloseFile(&file);
    TrackedFree(data);
    EXPECT_EQ(text.rfind("ASSERTION FAILED ( 0 )\n", 0), 0u);
    EXPECT_EQ(FakeLogText(), "The original file was removed.\r\n" + path);
    EXPECT_TRUE(FakeBoxes().empty());
    EXPECT_TRUE(FolderNames(folder).empty());
}
