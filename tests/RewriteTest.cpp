// Tests that a rewrite never damages the original: every file operation of
// the rewrite fails in turn, the file is changed or swapped at the worst
// moment, and what the replacement must keep is kept.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>

#include "FakeUi.h"
#include "TestFiles.h"
#include "core/Convert.h"
#include "platform/Platform.h"
#include "support/Track.h"

class RewriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeTempFolder();
        path = folder + "/photo.jpg";
        FakeReset();
    }
    void TearDown() override
    {
        for (int kind = 0; kind < PLAT_FAULT_COUNT; kind++) {
            PlatSetFault(kind, 0);
        }
        PlatSetRaceHook(nullptr);
        RemoveTree(folder);
    }
    int32_t Rewrite() { return ConvertFile(path.c_str(), 0); }
    // The original is byte-identical, nothing was logged, nothing was
    // removed and one box says `text`; the folder holds `names`.
    void ExpectUntouched(int32_t removed, const std::string& text,
                         const std::vector<std::string>& names = {"photo.jpg"})
    {
        EXPECT_EQ(removed, -1);
        EXPECT_EQ(ReadBytes(path), input);
        EXPECT_EQ(FolderNames(folder), names);
        EXPECT_EQ(FakeLogText(), "");
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
    std::string output = Soi() + Segment(0xE0, "JFIF") + Segment(0xE1, "Exif") + ImageData();
};

// What a failing operation leaves.
enum FaultOutcome {
    CANT_OPEN,         // "Can't open: ", the original untouched, no temporary file
    OUTPUT_ERROR,      // "File output error: ", the original untouched, no temporary file
    CLEANED_UNFLUSHED  // "File output error: ", the original cleaned; rewritten in place,
                       // the complete flushed copy stays beside it
};

struct FaultCase {
    const char* name;
    int kind;
    int nth;
    FaultOutcome outcome;
};

// Each operation fails in turn, on both ways of committing: the replacement
// of a photo with one name, and the rewrite in place of one with two.
TEST_F(RewriteTest, EachFailingOperationLeavesTheOriginal)
{
    const FaultCase cases[] = {
        {"proving the original writable", PLAT_FAULT_OPEN, 1, CANT_OPEN},
        {"creating the temporary file", PLAT_FAULT_OPEN, 2, CANT_OPEN},
        {"first write (FF D8 and a kept segment)", PLAT_FAULT_WRITE, 1, OUTPUT_ERROR},
        {"second write (a kept segment)", PLAT_FAULT_WRITE, 2, OUTPUT_ERROR},
        {"last write (the remainder)", PLAT_FAULT_WRITE, 3, OUTPUT_ERROR},
        {"flushing the temporary file", PLAT_FAULT_FLUSH, 1, OUTPUT_ERROR},
        {"replacing the original", PLAT_FAULT_REPLACE, 1, OUTPUT_ERROR},
        {"flushing the folder, or the original rewritten in place", PLAT_FAULT_FLUSH, 2, CLEANED_UNFLUSHED},
    };
    for (const char* second : {(const char*)nullptr, "second.jpg"}) {
        for (const FaultCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (second ? ", two names" : ", one name"));
            FakeReset();
            RemoveTree(folder);
            mkdir(folder.c_str(), 0700);
            WriteBytes(path, input);
            std::vector<std::string> names = {"photo.jpg"};
            if (second) {
                ASSERT_EQ(link(path.c_str(), (folder + "/" + second).c_str()), 0);
                names.push_back(second);
            }
            int before = TrackLiveCount();
            int descriptors = OpenDescriptorCount();
            PlatSetFault(c.kind, c.nth);
            int32_t removed = Rewrite();
            PlatSetFault(c.kind, 0);
            EXPECT_EQ(TrackLiveCount(), before);
            EXPECT_EQ(OpenDescriptorCount(), descriptors);
            if (c.outcome != CLEANED_UNFLUSHED) {
                ExpectUntouched(removed, c.outcome == CANT_OPEN ? "Can't open: " + path
                                                                : "File output error: " + path + "\r\n", names);
                continue;
            }
            EXPECT_EQ(removed, -1);
            EXPECT_EQ(ReadBytes(path), output);
            EXPECT_EQ(FakeLogText(), "");
            ASSERT_EQ(FakeBoxes().size(), 1u);
            EXPECT_EQ(FakeBoxes()[0].text, "File output error: " + path + "\r\n");
            std::vector<std::string> left = FolderNames(folder);
            EXPECT_EQ(left.size(), names.size() + (second ? 1 : 0));
            if (second) {
                EXPECT_EQ(ReadBytes(folder + "/" + left[0]), output);  // ".marlovex-N~" sorts first
            }
        }
    }
}

TEST_F(RewriteTest, ThreeWritesMakeTheWholeFile)
{
    WriteBytes(path, input);
    PlatSetFault(PLAT_FAULT_WRITE, 4);  // never reached
    EXPECT_EQ(Rewrite(), 28);
    EXPECT_EQ(ReadBytes(path), output);
    EXPECT_EQ(FakeLogText(), "XMP removed: " + path + "\r\n28 byte data was removed.\r\n");
}

TEST_F(RewriteTest, ReadOnlyFileCannotBeOpened)
{
    WriteBytes(path, input);
    chmod(path.c_str(), 0444);
    int32_t removed = Rewrite();
    chmod(path.c_str(), 0644);
    ExpectUntouched(removed, "Can't open: " + path);
}

// Leftover temporary files (a power cut, a killed process) never stand in a
// later photo's way: a name that is taken is passed over, and the names
// are drawn from 32 bits, so even a hundred leftovers of the numbers that
// were once tried in order leave plenty.
TEST_F(RewriteTest, LeftoverTemporaryFilesAreNotOverwrittenNorInTheWay)
{
    const uint32_t starts[] = {7, 0};  // 7: in order from .marlovex-7~; 0: at random
    for (uint32_t start : starts) {
        SCOPED_TRACE(start);
        FakeReset();
        RemoveTree(folder);
        mkdir(folder.c_str(), 0700);
        WriteBytes(path, input);
        uint32_t first = start ? start : 0;
        int count = start ? 2 : 100;
        for (int i = 0; i < count; i++) {
            WriteBytes(folder + "/.marlovex-" + std::to_string(first + (uint32_t)i) + "~", "somebody's file");
        }
        PlatSetTemporaryNumbers(start);
        EXPECT_EQ(Rewrite(), 28);
        PlatSetTemporaryNumbers(0);
        EXPECT_EQ(ReadBytes(path), output);
        EXPECT_EQ(FolderNames(folder).size(), (size_t)count + 1);
        EXPECT_EQ(ReadBytes(folder + "/.marlovex-" + std::to_string(first) + "~"), "somebody's file");
    }
}

//----------------------------------------------------------------------------
// What a replacement keeps. Each case prepares the folder, rewrites
// photo.jpg and checks what must have been kept.
struct KeepCase {
    const char* name;
    void (*prepare)(const std::string& folder, const std::string& input);
    const char* photo;  // the name rewritten, in the folder
    void (*check)(const std::string& folder);
};

static struct stat StatOf(const std::string& path)
{
    struct stat status = {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

// An access ACL (the system.posix_acl_access attribute): owner rw, user
// nobody r, group r, mask r, others nothing.
static const char ACL[] = "\x02\0\0\0" "\x01\0\x06\0\xff\xff\xff\xff" "\x02\0\x04\0\xfe\xff\0\0"
                          "\x04\0\x04\0\xff\xff\xff\xff" "\x10\0\x04\0\xff\xff\xff\xff" "\x20\0\0\0\xff\xff\xff\xff";

static std::string AttributeOf(const std::string& path, const char* name)
{
    char value[256];
    ssize_t size = getxattr(path.c_str(), name, value, sizeof(value));
    return size < 0 ? "<none>" : std::string(value, (size_t)size);
}

static const KeepCase KEEP_CASES[] = {
    {"permission bits",
     [](const std::string& f, const std::string& in) {
         WriteBytes(f + "/photo.jpg", in);
         chmod((f + "/photo.jpg").c_str(), 0640);
     },
     "photo.jpg", [](const std::string& f) { EXPECT_EQ(StatOf(f + "/photo.jpg").st_mode & 07777, 0640u); }},
    {"a link stays a link; its target is rewritten",
     [](const std::string& f, const std::string& in) {
         WriteBytes(f + "/real.jpg", in);
         ASSERT_EQ(symlink("real.jpg", (f + "/photo.jpg").c_str()), 0);
     },
     "photo.jpg",
     [](const std::string& f) {
         EXPECT_TRUE(S_ISLNK(StatOf(f + "/photo.jpg").st_mode));
         EXPECT_EQ(FolderNames(f), (std::vector<std::string>{"photo.jpg", "real.jpg"}));
     }},
    {"hard links: one file, rewritten in place",
     [](const std::string& f, const std::string& in) {
         WriteBytes(f + "/photo.jpg", in);
         ASSERT_EQ(link((f + "/photo.jpg").c_str(), (f + "/other.jpg").c_str()), 0);
     },
     "photo.jpg",
     [](const std::string& f) {
         EXPECT_EQ(StatOf(f + "/photo.jpg").st_ino, StatOf(f + "/other.jpg").st_ino);
         EXPECT_EQ(ReadBytes(f + "/other.jpg"), ReadBytes(f + "/photo.jpg"));
         EXPECT_EQ(FolderNames(f), (std::vector<std::string>{"other.jpg", "photo.jpg"}));
     }},
    {"extended attributes and the ACL",
     [](const std::string& f, const std::string& in) {
         std::string p = f + "/photo.jpg";
         WriteBytes(p, in);
         ASSERT_EQ(setxattr(p.c_str(), "user.comment", "kept", 4, 0), 0);
         ASSERT_EQ(setxattr(p.c_str(), "system.posix_acl_access", ACL, sizeof(ACL) - 1, 0), 0);
     },
     "photo.jpg",
     [](const std::string& f) {
         EXPECT_EQ(AttributeOf(f + "/photo.jpg", "user.comment"), "kept");
         EXPECT_EQ(AttributeOf(f + "/photo.jpg", "system.posix_acl_access"), std::string(ACL, sizeof(ACL) - 1));
         EXPECT_EQ(StatOf(f + "/photo.jpg").st_mode & 0777, 0640u);  // the group bits show the ACL's mask
     }},
    {"a name of 255 bytes",
     [](const std::string& f, const std::string& in) { WriteBytes(f + "/" + std::string(251, 'n') + ".jpg", in); },
     nullptr, [](const std::string&) {}},
};

TEST_F(RewriteTest, WhatAReplacementKeeps)
{
    for (const KeepCase& c : KEEP_CASES) {
        SCOPED_TRACE(c.name);
        FakeReset();
        std::string sub = folder + "/" + std::to_string(&c - KEEP_CASES);
        mkdir(sub.c_str(), 0755);
        c.prepare(sub, input);
        std::string photo = sub + "/" + (c.photo ? c.photo : std::string(251, 'n') + ".jpg");
        EXPECT_EQ(ConvertFile(photo.c_str(), 0), 28);
        EXPECT_EQ(ReadBytes(photo), output);
        EXPECT_EQ(FakeLogText(), "XMP removed: " + photo + "\r\n28 byte data was removed.\r\n");
        c.check(sub);
        for (const std::string& name : FolderNames(sub)) {
            EXPECT_EQ(name.find("marlovex"), std::string::npos);  // no temporary file left
        }
    }
}

// What an unprivileged rewrite of `path` came to: 0 cleaned, 1 "Can't
// open: ", 2 "Can't read: ", 3 anything else.
static int CleanAsNobody(const std::string& path)
{
    FakeReset();
    int32_t removed = ConvertFile(path.c_str(), 0);
    std::vector<FakeBox> boxes = FakeBoxes();
    if (removed == 28) {
        return 0;
    }
    if (boxes.size() == 1 && boxes[0].text == "Can't open: " + path) {
        return 1;
    }
    return FakeLogText().rfind("Can't read: ", 0) == 0 ? 2 : 3;
}

struct UnprivilegedCase {
    const char* name;
    mode_t folderMode;  // the photo's folder, owned by root
    uid_t owner;        // the photo's, group nobody
    mode_t photoMode;
    int outcome;        // as CleanAsNobody answers
};

// As the user nobody. Another user's photo that its group may write cannot
// be replaced by a file of theirs, so it is rewritten in place and stays
// theirs; a folder that may be entered and written but not listed still
// lets its photo be cleaned, and one that may only be entered refuses the
// temporary file.
TEST_F(RewriteTest, UnprivilegedUser)
{
    const UnprivilegedCase cases[] = {
        {"another user's photo that its group may write", 0777, 0, 0664, 0},
        {"a folder of mode 733", 0733, 65534, 0644, 0},
        {"a folder of mode 711", 0711, 65534, 0644, 1},
    };
    chmod(folder.c_str(), 0711);
    for (const UnprivilegedCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string sub = folder + "/" + std::to_string(&c - cases);
        std::string photo = sub + "/photo.jpg";
        mkdir(sub.c_str(), 0700);
        WriteBytes(photo, input);
        ASSERT_EQ(chown(photo.c_str(), c.owner, 65534), 0);
        chmod(photo.c_str(), c.photoMode);
        chmod(sub.c_str(), c.folderMode);
        EXPECT_EQ(RunUnprivileged(CleanAsNobody, photo), c.outcome);
        EXPECT_EQ(ReadBytes(photo), c.outcome == 0 ? output : input);
        EXPECT_EQ(StatOf(photo).st_uid, c.owner);
        EXPECT_EQ(FolderNames(sub), std::vector<std::string>{"photo.jpg"});
    }
}

//----------------------------------------------------------------------------
// Races: between the read and the replacement, the photo or its folder is
// swapped or changed. Nothing outside the folder that was read is written,
// and a photo that changed is left as it now is.
static std::string s_folder;  // the test's folder, for the hooks

static void SwapForLinkOutside()
{
    WriteBytes(s_folder + "/outside.jpg", "not a photo of ours");
    unlink((s_folder + "/photo.jpg").c_str());
    symlink("outside.jpg", (s_folder + "/photo.jpg").c_str());
}

static void SwapForAnotherFile()
{
    WriteBytes(s_folder + "/new.jpg", "a newer photo");
    rename((s_folder + "/new.jpg").c_str(), (s_folder + "/photo.jpg").c_str());
}

static void AppendToIt()
{
    FILE* file = fopen((s_folder + "/photo.jpg").c_str(), "ab");
    fputs("still being copied", file);
    fclose(file);
}

// The program must end (its window was closed, the session ends) and the
// file in hand is abandoned before its commit.
static void AbandonIt()
{
    PlatSetAbandoned(1);
}

struct RaceCase {
    const char* name;
    PlatRaceHook hook;
    std::string (*photoAfter)(const std::string& input);  // read through a link
};

TEST_F(RewriteTest, ChangedOrSwappedPhotoIsNotReplaced)
{
    s_folder = folder;
    const RaceCase cases[] = {
        {"swapped for a link to another file", SwapForLinkOutside,
         [](const std::string&) { return std::string("not a photo of ours"); }},
        {"swapped for another file", SwapForAnotherFile, [](const std::string&) { return std::string("a newer photo"); }},
        {"written to meanwhile", AppendToIt, [](const std::string& in) { return in + "still being copied"; }},
        {"abandoned", AbandonIt, [](const std::string& in) { return in; }},
    };
    for (const RaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        RemoveTree(folder);
        mkdir(folder.c_str(), 0700);
        WriteBytes(path, input);
        PlatSetRaceHook(c.hook);
        EXPECT_EQ(Rewrite(), -1);
        PlatSetAbandoned(0);
        EXPECT_EQ(ReadBytes(path), c.photoAfter(input));
        auto boxes = FakeBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "File output error: " + path + "\r\n");
        for (const std::string& name : FolderNames(folder)) {
            EXPECT_EQ(name.find("marlovex"), std::string::npos);
        }
    }
}

static void MoveTheFolderAway()
{
    rename(s_folder.c_str(), (s_folder + "-moved").c_str());
    mkdir(s_folder.c_str(), 0700);
    WriteBytes(s_folder + "/photo.jpg", "somebody else's photo");
}

// The folder swapped after the read: the rewrite goes on in the folder that
// was read, wherever it now is, and never touches what took its place.
TEST_F(RewriteTest, SwappedFolderIsNotFollowed)
{
    s_folder = folder;
    WriteBytes(path, input);
    PlatSetRaceHook(MoveTheFolderAway);
    EXPECT_EQ(Rewrite(), 28);
    EXPECT_EQ(ReadBytes(path), "somebody else's photo");
    EXPECT_EQ(ReadBytes(folder + "-moved/photo.jpg"), output);
    RemoveTree(folder + "-moved");
}
