// The cleaning core: the signature search; the per-file step as one table
// (file bytes in: the scan, the strip, bytes out, bytes removed and the log
// line or box, in both modes); the candidate filter.
#include <sys/stat.h>
#include <unistd.h>

#include "TestKit.h"
#include "core/Convert.h"
#include "core/Strip.h"
#include "platform/Platform.h"
#include "support/Track.h"

static int32_t Find(const std::string& haystack, int32_t count)
{
    return FindBytes((const unsigned char*)haystack.data(), count, "xmpmeta", 7);
}

TEST(FindBytes, EveryOffsetAndTable)
{
    for (int32_t at = 0; at + 7 <= 24; at++) {  // the four-byte stride with a tail of three
        std::string hay = std::string(24, '.').replace((size_t)at, 7, "xmpmeta");
        EXPECT_EQ(Find(hay, 24), at) << at;
        EXPECT_EQ(Find(hay, at + 7), at) << at;  // ends exactly at count
        EXPECT_EQ(Find(hay, at + 6), -1) << at;
    }
    const struct {
        std::string haystack;
        int32_t count, expected;
    } cases[] = {{"xmpmeta xmpmeta", 15, 0}, {"xmpmetb xmpmeta", 15, 8}, {"ympmeta", 7, -1}, {"xmpXeta", 7, -1},
                 {"XMPMETA", 7, -1},         {"xmpmeta", -1, -1},        {"", 0, -1},        {"xmpmeta", INT32_MIN, -1},
                 {"xmpmexmpmeta", 12, 5},    {std::string("\0\xFFxmpmeta", 9), 9, 2}};
    for (const auto& c : cases) {
        EXPECT_EQ(Find(c.haystack, c.count), c.expected) << c.haystack;
    }
}

// What the per-file step makes of a file: OUT_ERROR is the "File output
// error: " box with the file unchanged; the others are log lines. Their
// prefixes in XMP and in all-APP mode:
enum Outcome { REWRITTEN, NOTHING, OUT_ERROR, TOO_SMALL, BROKEN, CANT_READ };
static const char* const PREFIX[][2] = {
    {"XMP removed: ", "APP headers removed: "}, {"No XMP: ", "No APP header: "},
    {"<box unowned Error: File output error: ", "<box unowned Error: File output error: "},
    {"Too small: ", "Too small: "}, {"Header Broken: ", "Header Broken: "}, {"Can't read: ", "Can't read: "}};

static int Fifo(const char* path) { return mkfifo(path, 0644); }
static int LinkToDevice(const char* path) { return symlink("/dev/zero", path); }
static int FailingOpen(const char* path)
{
    WriteBytes(path, SOI + IMAGE);
    PlatSetFault(PLAT_FAULT_READ_OPEN, 1);
    return 0;
}

struct FileCase {
    const char* name;
    int allApp;
    std::string input;
    Outcome outcome;
    std::string output;
    int32_t removed;
    int (*make)(const char* path) = nullptr;  // makes the file instead
};

static std::vector<FileCase> FileCases()
{
    std::string xmpAt0 = Seg(0xE1, "xmpmeta and more"), past = Seg(0xE1, "short payload", 5000);
    std::string adobeXmp = Seg(0xEE, "Adobe with an xmpmeta packet"), tail3("\xFF\xE1\0", 3);
    std::string onePast = Seg(0xE1, std::string("<xmpmeta/> Adobe", 14), 17);  // one byte more than there is
    std::string many, manyOut;
    int32_t manyRemoved = 0, X = (int32_t)XMP.size(), J = (int32_t)JFIF.size(), E = (int32_t)EXIF.size();
    for (int i = 0; i < 40; i++) {
        std::string seg = Seg((unsigned char)(0xE0 + i % 16), (i % 4 == 1 ? "<xmpmeta " : "plain ") +
                                                                    std::to_string(i));
        many += seg;
        manyRemoved += i % 4 == 1 ? (int32_t)seg.size() : 0;
        manyOut += i % 4 == 1 ? "" : seg;
    }
    return {
        {"xmp: JFIF, Exif, XMP", 0, SOI + JFIF + EXIF + XMP + IMAGE, REWRITTEN, SOI + JFIF + EXIF + IMAGE, X},
        {"xmp: nothing to remove", 0, SOI + JFIF + EXIF + ICC + IMAGE, NOTHING, "", 0},
        {"xmp: in APP13", 0, SOI + JFIF + Seg(0xED, "Photoshop xmpmeta") + IMAGE, REWRITTEN, SOI + JFIF + IMAGE, 21},
        {"xmp: all of APP2", 0, SOI + Seg(0xE2, "xmpmeta") + EXIF + IMAGE, REWRITTEN, SOI + EXIF + IMAGE, 11},
        {"xmp: in APP15", 0, SOI + Seg(0xEF, "zz xmpmeta") + IMAGE, REWRITTEN, SOI + IMAGE, 14},
        {"xmp: at payload start", 0, SOI + xmpAt0 + IMAGE, REWRITTEN, SOI + IMAGE, (int32_t)xmpAt0.size()},
        {"xmp: many segments keep their order", 0, SOI + many + IMAGE, REWRITTEN, SOI + manyOut + IMAGE, manyRemoved},
        {"xmp: straddling two segments", 0, SOI + Seg(0xE1, "..xmp") + Seg(0xE1, "meta..") + IMAGE, NOTHING, "", 0},
        {"xmp: after a non-APP marker", 0, SOI + JFIF + IMAGE + XMP, NOTHING, "", 0},
        {"xmp: an APP marker without FF", 0, SOI + '\0' + XMP.substr(1) + IMAGE, NOTHING, "", 0},
        {"xmp: length one past the end after XMP", 0, SOI + XMP + onePast, REWRITTEN, SOI + onePast, X},
        {"xmp: length 0 after XMP", 0, SOI + XMP + Seg(0xE1, "xmpmeta", 0) + IMAGE, REWRITTEN,
         SOI + Seg(0xE1, "xmpmeta", 0) + IMAGE, X},
        {"xmp: XMP, then three bytes", 0, SOI + XMP + tail3, REWRITTEN, SOI + tail3, X},
        {"xmp: nothing after the run", 0, SOI + JFIF + XMP, OUT_ERROR, "", 0},
        {"xmp: a kept segment last", 0, SOI + XMP + JFIF, OUT_ERROR, "", 0},
        {"xmp: Adobe holding XMP", 0, SOI + adobeXmp + IMAGE, REWRITTEN, SOI + IMAGE, (int32_t)adobeXmp.size()},
        {"all: JFIF and Exif", 1, SOI + JFIF + EXIF + IMAGE, REWRITTEN, SOI + IMAGE, J + E},
        {"all: no APP right after SOI", 1, SOI + IMAGE + JFIF, NOTHING, "", 0},
        // A damaged first segment ends the run: the file is not rewritten to itself.
        {"all: first length past the end", 1, SOI + past, NOTHING, "", 0},
        {"all: length 0 ends the run", 1, SOI + Seg(0xE1, "", 0) + IMAGE, NOTHING, "", 0},
        {"all: length 1 after JFIF", 1, SOI + JFIF + Seg(0xE1, "\xFF\xE1", 1) + IMAGE, REWRITTEN,
         SOI + Seg(0xE1, "\xFF\xE1", 1) + IMAGE, J},
        {"all: ends after a marker pair", 1, SOI + JFIF + "\xFF\xE1", REWRITTEN, SOI + "\xFF\xE1", J},
        {"all: nothing after the run", 1, SOI + JFIF + EXIF, OUT_ERROR, "", 0},
        // Adobe's colour segment stays.
        {"all: JFIF, Adobe, Exif, XMP", 1, SOI + JFIF + ADOBE + EXIF + XMP + IMAGE, REWRITTEN, SOI + ADOBE + IMAGE,
         J + E + X},
        {"all: only Adobe", 1, SOI + ADOBE + IMAGE, NOTHING, "", 0},
        {"all: the shortest Adobe (L = 7)", 1, SOI + Seg(0xEE, "Adobe") + EXIF + IMAGE, REWRITTEN,
         SOI + Seg(0xEE, "Adobe") + IMAGE, E},
        {"all: 'Adob' with L = 6", 1, SOI + Seg(0xEE, "Adob") + IMAGE, REWRITTEN, SOI + IMAGE, 8},
        {"all: 'Adob' with L = 6, an 'e' after it", 1, SOI + Seg(0xEE, "Adob") + "e" + IMAGE, REWRITTEN,
         SOI + "e" + IMAGE, 8},
        {"all: APP14 'Adobx'", 1, SOI + Seg(0xEE, "Adobx\x01") + IMAGE, REWRITTEN, SOI + IMAGE, 10},
        {"all: Adobe payload in APP1", 1, SOI + Seg(0xE1, "Adobe.") + IMAGE, REWRITTEN, SOI + IMAGE, 10},
        {"all: APP14 with L = 2 at the end", 1, SOI + JFIF + Seg(0xEE, ""), OUT_ERROR, "", 0},
        {"all: Adobe holding XMP is kept", 1, SOI + adobeXmp + IMAGE, NOTHING, "", 0},
        // Files that are no JPEG, or cannot be read (a FIFO would block the open for ever).
        {"empty", 0, "", TOO_SMALL, "", 0},
        {"five bytes", 1, std::string("\xFF\xD8\xFF\xE1\0", 5), TOO_SMALL, "", 0},
        {"FF D9 start", 0, std::string("\xFF\xD9\xFF\xE1\0\x10", 6), BROKEN, "", 0},
        {"FF start, D8 second", 1, std::string("\x00\xD8\xFF\xE1\0\x10", 6), BROKEN, "", 0},
        {"cannot be opened", 0, SOI + IMAGE, CANT_READ, "", 0, FailingOpen},
        {"a FIFO", 0, "", CANT_READ, "", 0, Fifo},
        {"a link to a device", 0, "", CANT_READ, "", 0, LinkToDevice},
    };
}

static int Collect(void* context, const unsigned char* bytes, int32_t count)
{
    ((std::string*)context)->append((const char*)bytes, (size_t)count);
    return 1;
}

class StripTest : public TempTest {};

TEST_F(StripTest, Table)
{
    std::string path = root + "/photo.jpg";
    for (const FileCase& c : FileCases()) {
        SCOPED_TRACE(c.name);
        FakeReset();
        unlink(path.c_str());
        if (c.make) {
            ASSERT_EQ(c.make(path.c_str()), 0);
        } else {
            WriteBytes(path, c.input);
        }
        const unsigned char* data = (const unsigned char*)c.input.data();
        if (c.outcome <= OUT_ERROR) {  // the scan and the strip on their own
            ASSERT_EQ(HasRemovableSegment((int32_t)c.input.size(), data, c.allApp), c.outcome != NOTHING);
            std::string out;
            EXPECT_EQ(StripSegments((int32_t)c.input.size(), data, c.allApp, Collect, &out),
                      c.outcome == REWRITTEN ? c.removed : c.outcome == OUT_ERROR ? -1 : 0);
            if (c.outcome != OUT_ERROR) {  // a strip that fails hands over no whole file
                EXPECT_EQ(out, c.outcome == REWRITTEN ? c.output : c.input);
            }
        }
        int32_t removed = ConvertFile(path.c_str(), c.allApp);
        EXPECT_EQ(FolderNames(root), std::vector<std::string>{"photo.jpg"});
        std::string line = PREFIX[c.outcome][c.allApp] + path + (c.outcome == OUT_ERROR ? "\r\n>" : "\r\n");
        EXPECT_EQ(FakeTimeline(), line + (c.outcome ? "" : std::to_string(c.removed) + " byte data was removed.\r\n"));
        EXPECT_EQ(removed, c.outcome == REWRITTEN ? c.removed : -1);
        if (!c.make || c.make == FailingOpen) {
            EXPECT_EQ(ReadBytes(path), c.outcome == REWRITTEN ? c.output : c.input);
        }
    }
}

// A size not above 5 is reported and the scan carries on; a file that
// vanished before its rewrite is logged, not made again.
TEST_F(StripTest, TooSmallReportedAndVanishedLogged)
{
    const unsigned char small[5] = {0xFF, 0xD8, 0xFF, 0xE1, 0x00};
    EXPECT_EQ(CaptureReports([&] { EXPECT_EQ(HasRemovableSegment(5, small, 0), 0); })
                  .rfind("ASSERTION FAILED ( nSize > 5 )\nin \"src\\core\\Strip.cpp\" : ", 0),
              0u);
    std::string path = root + "/gone.jpg", input = SOI + XMP + IMAGE;
    WriteBytes(path, input);
    PlatFile file;
    unsigned char* data = nullptr;
    ASSERT_EQ(PlatLoadWholeFile(path.c_str(), &file, &data), (int32_t)input.size());
    unlink(path.c_str());
    int32_t size = (int32_t)input.size();
    std::string report = CaptureReports([&] { EXPECT_EQ(RewriteStripped(size, path.c_str(), data, 0, &file), -1); });
    PlatCloseFile(&file);
    TrackedFree(data);
    EXPECT_EQ(report.rfind("ASSERTION FAILED ( 0 )\n", 0), 0u);
    EXPECT_EQ(FakeTimeline(), "The original file was removed.\r\n" + path);
    EXPECT_TRUE(FolderNames(root).empty());
}

//----------------------------------------------------------------------------
// Relative paths, from the test's folder, set the positions.
TEST_F(StripTest, CandidateTable)
{
    char saved[4096];
    ASSERT_TRUE(getcwd(saved, sizeof(saved)) && chdir(root.c_str()) == 0);
    const struct {
        const char* path;
        int expected;
    } cases[] = {
        {"a/photo.JPG", 1}, {"a/photo.Jpeg", 1}, {"a/x.jPeG", 1}, {"a/y.jpG", 1}, {"a/photo.jpe", 0},
        {"a/photo.jfif", 0}, {"a/x.jpex", 0}, {"a/jpg", 0}, {"a/x.jpg.txt", 0}, {"a/x,jpg", 0},
        {"b.jpg", 1},     // five bytes: the shortest candidate
        {"ab/c.jpg", 1},  // ten bytes or fewer: no recycle test
        // "recycle" at positions 4 to 10, as in X:\$Recycle.Bin\...
        {"xy_$Recycle.Bin/S-1-5/$RABC123.jpg", 0}, {"xy_$RECYCLE.BIN/a.jpg", 0}, {"xy_$rEcYcLe.bin/a.jpg", 0},
        {"dd_x/Recycle/a.jpg", 1}, {"ddd_Recycl/a.jpg", 1}, {"recycle/ab/a.jpg", 1},
        // On Linux the rule matches nothing real: the desktop's Trash is a folder like any other.
        {".local/share/Trash/files/a.jpg", 1},
        // Attributes: hidden, a folder, missing; read-only is a candidate (its rewrite fails to open).
        {"d/.hidden.jpg", 0}, {"d/folder.jpg/", 0}, {"d/missing.jpg", 0}, {".jpg", 0}, {"d/readonly.jpg", 1},
    };
    for (const auto& c : cases) {
        std::string path = c.path;
        if (path != "d/missing.jpg") {
            MakeTree(".", {{path, "x"}});
        }
        if (path.back() == '/') {
            path.pop_back();
        }
        chmod("d/readonly.jpg", 0444);
        EXPECT_EQ(IsJpegCandidate(path.c_str()), c.expected) << c.path;
    }
    FakeReset();
    ListCandidate("a/photo.JPG");
    ListCandidate("a/x.jpg.txt");
    MakeTree(".", {{"c/f.txt", SOI + XMP + IMAGE}});
    EXPECT_EQ(ConvertFile("c/f.txt", 0), -1);  // not a candidate: nothing at all
    EXPECT_EQ(FakeTimeline(), "a/photo.JPG\r\n");
    EXPECT_EQ(ReadBytes("c/f.txt"), SOI + XMP + IMAGE);
    EXPECT_EQ(chdir(saved), 0);
}
