// A rewrite never damages the original: each failing operation on each way
// of committing, races at the worst moment, leftovers, what is kept.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "TestKit.h"
#include "core/Convert.h"
#include "platform/Platform.h"

// Writes: FF D8 + JFIF, then Exif, then the image data (three ranges).
static const std::string INPUT = SOI + JFIF + Seg(0xE1, "<xmpmeta/>") + EXIF + Seg(0xE1, "<xmpmeta/>") + IMAGE;
static const std::string OUTPUT = SOI + JFIF + EXIF + IMAGE;
static const std::string LEFTOVER = "somebody's file";
static std::string s_folder;  // the row's folder, for the hooks
static int s_leftovers;       // leftovers made in it

static std::string Photo()
{
    return s_folder + "/photo.jpg";
}

static void Leftovers(uint32_t first, int count)
{
    for (s_leftovers = 0; s_leftovers < count; s_leftovers++) {
        WriteBytes(s_folder + "/.marlovex-" + std::to_string(first + (uint32_t)s_leftovers) + "~", LEFTOVER);
    }
}

// The photo's modification time: a fixed second, and `ns` within it, so
// that a save within the same second is told apart.
static void Touch(long ns)
{
    struct timespec times[2] = {{1000000000, ns}, {1000000000, ns}};
    utimensat(AT_FDCWD, Photo().c_str(), times, 0);
}

enum Result {
    CLEANED,
    CANT_OPEN,         // "Can't open: ", nothing written
    OUTPUT_ERROR,      // "File output error: ", the photo as `after` says
    CLEANED_UNFLUSHED  // "File output error: ", cleaned; in place, its flushed copy stays beside it
};

struct RewriteCase {
    const char* name;
    void (*prepare)();
    PlatRaceHook hook;
    int fault, nth;
    Result result;
    std::string after;  // what photo.jpg holds after an OUTPUT_ERROR; empty: as it was
};

class RewriteTest : public TempTest {};

// Each row on a photo with one name (replaced) and with two (rewritten in
// place, so both names show the outcome).
TEST_F(RewriteTest, Table)
{
    const RewriteCase cases[] = {
        {"nothing fails: three writes make the file", nullptr, nullptr, PLAT_FAULT_WRITE, 4, CLEANED, ""},
        {"proving the original writable", nullptr, nullptr, PLAT_FAULT_OPEN, 1, CANT_OPEN, ""},
        {"a read-only photo", [] { chmod(Photo().c_str(), 0444); }, nullptr, 0, 0, CANT_OPEN, ""},
        {"creating the temporary file", nullptr, nullptr, PLAT_FAULT_OPEN, 2, CANT_OPEN, ""},
        {"the first write", nullptr, nullptr, PLAT_FAULT_WRITE, 1, OUTPUT_ERROR, ""},
        {"the last write", nullptr, nullptr, PLAT_FAULT_WRITE, 3, OUTPUT_ERROR, ""},
        {"flushing the temporary file", nullptr, nullptr, PLAT_FAULT_FLUSH, 1, OUTPUT_ERROR, ""},
        {"replacing the original", nullptr, nullptr, PLAT_FAULT_REPLACE, 1, OUTPUT_ERROR, ""},
        {"flushing the folder, or the photo in place", nullptr, nullptr, PLAT_FAULT_FLUSH, 2, CLEANED_UNFLUSHED, ""},
        // Leftovers of a crash are neither overwritten nor in the way.
        {"leftovers where the names begin", [] {
             Leftovers(7, 2);
             PlatSetTemporaryNumbers(7);
         }, nullptr, 0, 0, CLEANED, ""},
        {"a hundred leftovers of the old names", [] { Leftovers(0, 100); }, nullptr, 0, 0, CLEANED, ""},
        // Between the read and the commit.
        {"swapped for a link", nullptr, [] {
             WriteBytes(s_folder + "/outside.jpg", "not a photo of ours");
             unlink(Photo().c_str());
             symlink("outside.jpg", Photo().c_str());
         }, 0, 0, OUTPUT_ERROR, "not a photo of ours"},
        {"swapped for another file", nullptr, [] {
             WriteBytes(s_folder + "/new.jpg", "a newer photo");
             rename((s_folder + "/new.jpg").c_str(), Photo().c_str());
         }, 0, 0, OUTPUT_ERROR, "a newer photo"},
        {"written to meanwhile", nullptr, [] { WriteBytes(Photo(), INPUT + "+"); }, 0, 0, OUTPUT_ERROR, INPUT + "+"},
        {"saved again within the second, the same size", [] { Touch(500000000); }, [] {
             WriteBytes(Photo(), std::string(INPUT.size(), 's'));
             Touch(700000000);
         }, 0, 0, OUTPUT_ERROR, std::string(INPUT.size(), 's')},
        {"abandoned", nullptr, [] { PlatSetAbandoned(1); }, 0, 0, OUTPUT_ERROR, ""},
    };
    for (bool twoNames : {false, true}) {
        for (const RewriteCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (twoNames ? ", two names" : ", one name"));
            s_folder = root + "/" + std::to_string(&c - cases) + (twoNames ? "b" : "a");
            std::string second = s_folder + "/second.jpg";
            MakeTree(s_folder, {{"photo.jpg", INPUT}});
            ASSERT_TRUE(!twoNames || link(Photo().c_str(), second.c_str()) == 0);
            FakeReset();
            PlatSetTemporaryNumbers(0);
            s_leftovers = 0;
            if (c.prepare) {
                c.prepare();
            }
            PlatSetRaceHook(c.hook);
            PlatSetFault(c.fault, c.nth);
            int32_t removed = ConvertFile(Photo().c_str(), 0);
            PlatSetFault(c.fault, 0);
            PlatSetAbandoned(0);
            chmod(Photo().c_str(), 0644);
            bool cleaned = c.result == CLEANED || c.result == CLEANED_UNFLUSHED;
            std::string after = cleaned ? OUTPUT : c.after.empty() ? INPUT : c.after;
            EXPECT_EQ(removed, c.result == CLEANED ? 28 : -1);
            EXPECT_EQ(ReadBytes(Photo()), after);
            if (twoNames) {  // the same file, unless the name was swapped
                EXPECT_TRUE(ReadBytes(second) == after || (!cleaned && ReadBytes(second) == INPUT));
            }
            std::string box = "<box unowned Error: ", line = "XMP removed: " + Photo() + "\r\n";
            EXPECT_EQ(FakeTimeline(), c.result == CLEANED     ? line + "28 byte data was removed.\r\n"
                                      : c.result == CANT_OPEN ? box + "Can't open: " + Photo() + ">"
                                                              : box + "File output error: " + Photo() + "\r\n>");
            int copies = 0, leftovers = 0;
            for (const std::string& name : FolderNames(s_folder)) {
                std::string bytes = ReadBytes(s_folder + "/" + name);
                leftovers += bytes == LEFTOVER;
                copies += name.find("marlovex") != std::string::npos && bytes != LEFTOVER;
                EXPECT_TRUE(name.find("marlovex") == std::string::npos || bytes == LEFTOVER || bytes == OUTPUT);
            }
            EXPECT_EQ(copies, c.result == CLEANED_UNFLUSHED && twoNames ? 1 : 0);
            EXPECT_EQ(leftovers, s_leftovers);  // none overwritten
        }
    }
}

// The folder swapped after the read: the rewrite goes on in the folder that
// was read, wherever it now is, and never touches what took its place.
TEST_F(RewriteTest, SwappedFolderIsNotFollowed)
{
    s_folder = root + "/f";
    MakeTree(s_folder, {{"photo.jpg", INPUT}});
    PlatSetRaceHook([] {
        rename(s_folder.c_str(), (s_folder + "-moved").c_str());
        MakeTree(s_folder, {{"photo.jpg", "somebody else's photo"}});
    });
    EXPECT_EQ(ConvertFile(Photo().c_str(), 0), 28);
    EXPECT_EQ(ReadBytes(Photo()), "somebody else's photo");
    EXPECT_EQ(ReadBytes(s_folder + "-moved/photo.jpg"), OUTPUT);
}

//----------------------------------------------------------------------------
static struct stat StatOf(const std::string& path)
{
    struct stat status = {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

// An access ACL (system.posix_acl_access): owner rw, user nobody r, group
// r, mask r, others nothing.
static const std::string ACL("\x02\0\0\0\x01\0\x06\0\xff\xff\xff\xff\x02\0\x04\0\xfe\xff\0\0\x04\0\x04\0"
                             "\xff\xff\xff\xff\x10\0\x04\0\xff\xff\xff\xff\x20\0\0\0\xff\xff\xff\xff", 44);

static std::string AttributeOf(const std::string& path, const char* name)
{
    char value[256];
    ssize_t size = getxattr(path.c_str(), name, value, sizeof(value));
    return size < 0 ? "<none>" : std::string(value, (size_t)size);
}

TEST_F(RewriteTest, WhatAReplacementKeeps)
{
    const std::string longName = std::string(251, 'n') + ".jpg";
    MakeTree(root, {{"mode/photo.jpg", INPUT}, {"link/real.jpg", INPUT}, {"link/photo.jpg", "->real.jpg"},
                    {"xattr/photo.jpg", INPUT}, {"long/" + longName, INPUT}});
    std::string mode = root + "/mode/photo.jpg", xattr = root + "/xattr/photo.jpg";
    chmod(mode.c_str(), 0640);
    ASSERT_EQ(chown(mode.c_str(), 65534, 65534), 0);
    ASSERT_EQ(setxattr(xattr.c_str(), "user.comment", "kept", 4, 0), 0);
    ASSERT_EQ(setxattr(xattr.c_str(), "system.posix_acl_access", ACL.data(), ACL.size(), 0), 0);
    for (const std::string& photo : {mode, root + "/link/photo.jpg", xattr, root + "/long/" + longName}) {
        EXPECT_EQ(ConvertFile(photo.c_str(), 0), 28) << photo;
        EXPECT_EQ(ReadBytes(photo), OUTPUT) << photo;
        size_t names = photo.find("/link/") == std::string::npos ? 1 : 2;  // no temporary file stays
        EXPECT_EQ(FolderNames(photo.substr(0, photo.rfind('/'))).size(), names);
    }
    EXPECT_EQ(StatOf(mode).st_mode & 07777, 0640u);
    EXPECT_TRUE(StatOf(mode).st_uid == 65534 && StatOf(mode).st_gid == 65534);
    EXPECT_TRUE(S_ISLNK(StatOf(root + "/link/photo.jpg").st_mode));  // the link stays; its target is rewritten
    EXPECT_EQ(AttributeOf(xattr, "user.comment"), "kept");
    EXPECT_EQ(AttributeOf(xattr, "system.posix_acl_access"), ACL);
    EXPECT_EQ(StatOf(xattr).st_mode & 0777, 0640u);  // the group bits show the ACL's mask
}

// What an unprivileged rewrite came to: 0 cleaned, 1 "Can't open: ", 2 else.
static int CleanAsNobody(const std::string& path)
{
    FakeReset();
    int32_t removed = ConvertFile(path.c_str(), 0);
    return removed == 28 ? 0 : FakeTimeline() == "<box unowned Error: Can't open: " + path + ">" ? 1 : 2;
}

// As the user nobody. Another user's photo that its group may write cannot
// be replaced by a file of theirs, so it is rewritten in place and stays
// theirs; a folder that may be entered and written but not listed still
// lets its photo be cleaned, one that may only be entered refuses the
// temporary file.
TEST_F(RewriteTest, UnprivilegedUser)
{
    const struct {
        const char* name;
        mode_t folderMode;  // the photo's folder, owned by root
        uid_t owner;        // the photo's, group nobody
        mode_t photoMode;
        int outcome;
    } cases[] = {{"another user's photo that its group may write", 0777, 0, 0664, 0},
                 {"a folder of mode 733", 0733, 65534, 0644, 0},
                 {"a folder of mode 711", 0711, 65534, 0644, 1}};
    chmod(root.c_str(), 0711);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string sub = root + "/" + std::to_string(c.folderMode), photo = sub + "/photo.jpg";
        MakeTree(sub, {{"photo.jpg", INPUT}});
        ASSERT_EQ(chown(photo.c_str(), c.owner, 65534), 0);
        chmod(photo.c_str(), c.photoMode);
        chmod(sub.c_str(), c.folderMode);
        EXPECT_EQ(RunUnprivileged(CleanAsNobody, photo), c.outcome);
        EXPECT_EQ(ReadBytes(photo), c.outcome == 0 ? OUTPUT : INPUT);
        EXPECT_EQ(StatOf(photo).st_uid, c.owner);
        EXPECT_EQ(FolderNames(sub), std::vector<std::string>{"photo.jpg"});
    }
}
