// A rewrite never damages the original: each failing operation on each way
// of committing, races at the worst moment, leftovers, what is kept.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "BigPhoto.h"
#include "TestKit.h"
#include "core/Convert.h"
#include "core/Walk.h"
#include "platform/Platform.h"

// Writes: FF D8 + JFIF, then Exif, then the image data (three ranges).
static const std::string INPUT = SOI + JFIF + Seg(0xE1, "<xmpmeta/>") + EXIF + Seg(0xE1, "<xmpmeta/>") + IMAGE;
static const std::string OUTPUT = SOI + JFIF + EXIF + IMAGE;
static const std::string LEFTOVER = "somebody's file";
static std::string s_folder;  // the row's folder, for the hooks
static int s_leftovers;       // leftovers made in it
static int s_held = -1;       // a leftover that another copy of the program holds

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

// Another copy of the program at work on the photo: the leftover named
// after its identity, locked.
static void HoldLeftover()
{
    struct stat status = {};
    stat(Photo().c_str(), &status);
    char name[64];
    snprintf(name, sizeof(name), "/.marlovex-c%llx~", (unsigned long long)status.st_ino);
    WriteBytes(s_folder + name, LEFTOVER);
    s_leftovers = 1;
    s_held = open((s_folder + name).c_str(), O_RDONLY);
    flock(s_held, LOCK_EX);
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
    OUTPUT_ERROR,      // "File output error: ", the photo as `after` says, nothing beside it
    CLEANED_UNFLUSHED, // "File output error: ", cleaned; in place, its copy stays beside it
    HELD               // "File output error: ", cleaned but for its header, 00 00; its copy beside it
};

struct RewriteCase {
    const char* name;
    void (*prepare)();
    PlatRaceHook hook;
    int fault, nth;
    Result replaced;    // the photo with one name
    Result inPlace;     // with two, rewritten in place (both names show the outcome)
    std::string after;  // what photo.jpg holds after an OUTPUT_ERROR; empty: as it was
};

class RewriteTest : public TempTest {};

TEST_F(RewriteTest, Table)
{
    const RewriteCase cases[] = {
        // In place, the fourth write is the copy's record.
        {"nothing fails: three writes make the file", nullptr, nullptr, PLAT_FAULT_WRITE, 4, CLEANED, OUTPUT_ERROR, ""},
        {"proving the original writable", nullptr, nullptr, PLAT_FAULT_OPEN, 1, CANT_OPEN, CANT_OPEN, ""},
        {"a read-only photo", [] { chmod(Photo().c_str(), 0444); }, nullptr, 0, 0, CANT_OPEN, CANT_OPEN, ""},
        {"creating the temporary file", nullptr, nullptr, PLAT_FAULT_OPEN, 2, CANT_OPEN, CANT_OPEN, ""},
        {"the first write", nullptr, nullptr, PLAT_FAULT_WRITE, 1, OUTPUT_ERROR, OUTPUT_ERROR, ""},
        {"the last write", nullptr, nullptr, PLAT_FAULT_WRITE, 3, OUTPUT_ERROR, OUTPUT_ERROR, ""},
        {"flushing the temporary file", nullptr, nullptr, PLAT_FAULT_FLUSH, 1, OUTPUT_ERROR, OUTPUT_ERROR, ""},
        {"replacing the original", nullptr, nullptr, PLAT_FAULT_REPLACE, 1, OUTPUT_ERROR, CLEANED, ""},
        {"flushing the folder", nullptr, nullptr, PLAT_FAULT_FLUSH, 2, CLEANED_UNFLUSHED, OUTPUT_ERROR, ""},
        {"flushing the photo in place", nullptr, nullptr, PLAT_FAULT_FLUSH, 3, CLEANED, HELD, ""},
        {"flushing the photo's header", nullptr, nullptr, PLAT_FAULT_FLUSH, 4, CLEANED, CLEANED_UNFLUSHED, ""},
        // Leftovers of a crash are neither overwritten nor in the way; the
        // names are drawn where the file system has no temporary files
        // without a name.
        {"leftovers where the names begin", [] {
             Leftovers(7, 2);
             PlatSetTemporaryNumbers(7);
             PlatSetFault(PLAT_FAULT_NAMED, 1);
         }, nullptr, 0, 0, CLEANED, CLEANED, ""},
        {"a hundred leftovers of the old names", [] {
             Leftovers(0, 100);
             PlatSetFault(PLAT_FAULT_NAMED, 1);
         }, nullptr, 0, 0, CLEANED, CLEANED, ""},
        // Between the read and the commit.
        {"swapped for a link", nullptr, [] {
             WriteBytes(s_folder + "/outside.jpg", "not a photo of ours");
             unlink(Photo().c_str());
             symlink("outside.jpg", Photo().c_str());
         }, 0, 0, OUTPUT_ERROR, OUTPUT_ERROR, "not a photo of ours"},
        {"swapped for another file", nullptr, [] {
             WriteBytes(s_folder + "/new.jpg", "a newer photo");
             rename((s_folder + "/new.jpg").c_str(), Photo().c_str());
         }, 0, 0, OUTPUT_ERROR, OUTPUT_ERROR, "a newer photo"},
        {"written to meanwhile", nullptr, [] { WriteBytes(Photo(), INPUT + "+"); }, 0, 0, OUTPUT_ERROR, OUTPUT_ERROR,
         INPUT + "+"},
        {"saved again within the second, the same size", [] { Touch(500000000); }, [] {
             WriteBytes(Photo(), std::string(INPUT.size(), 's'));
             Touch(700000000);
         }, 0, 0, OUTPUT_ERROR, OUTPUT_ERROR, std::string(INPUT.size(), 's')},
        {"abandoned during the commit: it is finished", nullptr, [] { PlatSetAbandoned(1); }, 0, 0, CLEANED, CLEANED,
         ""},
        // Never taken for an interrupted rewrite's; a copy cannot have its name.
        {"another copy of the program holds the photo's leftover", HoldLeftover, nullptr, 0, 0, CLEANED, OUTPUT_ERROR,
         ""},
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
            if (s_held >= 0) {
                close(s_held);
                s_held = -1;
            }
            PlatSetFault(c.fault, 0);
            PlatSetFault(PLAT_FAULT_NAMED, 0);
            PlatSetAbandoned(0);
            chmod(Photo().c_str(), 0644);
            Result result = twoNames ? c.inPlace : c.replaced;
            bool cleaned = result == CLEANED || result == CLEANED_UNFLUSHED;
            std::string after = cleaned ? OUTPUT : result == HELD ? std::string(2, '\0') + OUTPUT.substr(2)
                                : c.after.empty() ? INPUT : c.after;
            EXPECT_EQ(removed, result == CLEANED ? 28 : -1);
            EXPECT_EQ(ReadBytes(Photo()), after);
            if (twoNames) {  // the same file, unless the name was swapped
                EXPECT_TRUE(ReadBytes(second) == after || (!c.after.empty() && ReadBytes(second) == INPUT));
            }
            std::string box = "<box unowned Error: ", line = "XMP removed: " + Photo() + "\r\n";
            EXPECT_EQ(FakeTimeline(), result == CLEANED     ? line + "28 byte data was removed.\r\n"
                                      : result == CANT_OPEN ? box + "Can't open: " + Photo() + ">"
                                                            : box + "File output error: " + Photo() + "\r\n>");
            int copies = 0, leftovers = 0;
            for (const std::string& name : FolderNames(s_folder)) {
                std::string bytes = ReadBytes(s_folder + "/" + name);
                leftovers += bytes == LEFTOVER;
                copies += name.find("marlovex") != std::string::npos && bytes != LEFTOVER;
                EXPECT_TRUE(name.find("marlovex") == std::string::npos || bytes == LEFTOVER ||
                            bytes.compare(0, OUTPUT.size(), OUTPUT) == 0);
            }
            EXPECT_EQ(copies, twoNames && (result == CLEANED_UNFLUSHED || result == HELD) ? 1 : 0);
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
    // Another user's photo: only root may make one; the rest runs for any user.
    bool owned = geteuid() == 0 && chown(mode.c_str(), 65534, 65534) == 0;
    if (!owned) {
        printf("not root: the owner step is left out\n");
    }
    ASSERT_EQ(setxattr(xattr.c_str(), "user.comment", "kept", 4, 0), 0);
    ASSERT_EQ(setxattr(xattr.c_str(), "system.posix_acl_access", ACL.data(), ACL.size(), 0), 0);
    for (const std::string& photo : {mode, root + "/link/photo.jpg", xattr, root + "/long/" + longName}) {
        EXPECT_EQ(ConvertFile(photo.c_str(), 0), 28) << photo;
        EXPECT_EQ(ReadBytes(photo), OUTPUT) << photo;
        size_t names = photo.find("/link/") == std::string::npos ? 1 : 2;  // no temporary file stays
        EXPECT_EQ(FolderNames(photo.substr(0, photo.rfind('/'))).size(), names);
    }
    EXPECT_EQ(StatOf(mode).st_mode & 07777, 0640u);
    EXPECT_TRUE(!owned || (StatOf(mode).st_uid == 65534 && StatOf(mode).st_gid == 65534));
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
    if (geteuid() != 0) {
        GTEST_SKIP() << "every row needs folders and photos of another user, which only root can make";
    }
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

//----------------------------------------------------------------------------
// A kill at every step of a rewrite, each path a row: after each, the photo
// holds its old bytes or its new ones, or, rewritten in place, a copy of
// its new content lies beside it while every region of the photo is old or
// new; a run over its folder then cleans it, leaving only what it reports
// as kept; a photo changed by hand after the kill is left as the hand left
// it, and a copy read back as other bytes than were written is never used.

static std::string BigImage()
{
    return IMAGE.substr(0, IMAGE.size() - 2) + BigImageData() + "\xFF\xD9";
}
static const std::string BIG_INPUT = SOI + JFIF + XMP + EXIF + BigImage();
static const std::string BIG_OUTPUT = SOI + JFIF + EXIF + BigImage();
static const std::string BY_HAND = SOI + JFIF + EXIF + IMAGE + "by hand";

// What the bytes are, in a word.
static std::string Named(const std::string& bytes)
{
    return bytes == BIG_INPUT ? "old" : bytes == BIG_OUTPUT ? "new" : IsMix(bytes, BIG_INPUT, BIG_OUTPUT) ? "mixed"
                              : "other, " + std::to_string(bytes.size()) + " bytes";
}

// ConvertFile on the photo in a child, which ends at step `kill`: 1 when
// it was killed there, 0 when the rewrite was over before.
static int RunKilledAt(int kill)
{
    pid_t child = fork();
    if (child == 0) {
        FakeReset();
        PlatSetFault(PLAT_FAULT_KILL, kill);
        ConvertFile(Photo().c_str(), 0);
        _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    return WEXITSTATUS(status) == PLAT_KILLED_STATUS;
}

// The run over the photo's folder, as a drop of it; its log.
static std::string RunOverFolder()
{
    FakeReset();
    WalkPath(s_folder.c_str(), [](const char* path) { return ConvertFile(path, 0), 1; });
    return FakeLog();
}

static std::vector<std::string> Leftovers()
{
    std::vector<std::string> names;
    for (const std::string& name : FolderNames(s_folder)) {
        if (name[0] == '.') {
            names.push_back(name);
        }
    }
    return names;
}

TEST_F(RewriteTest, KilledAtEveryStep)
{
    const struct {
        const char* name;
        bool twoNames;
        bool repair;  // the kills fall in the run after a rewrite in place killed half-way
    } paths[] = {{"one name", false, false}, {"two names", true, false}, {"the repair", true, true}};
    int mixedAt = 0;  // a step of the rewrite in place that leaves the photo mixed
    s_folder = root + "/k";
    for (const auto& path : paths) {
        int steps = 0;
        for (int kill = 1; steps == 0 && kill < 100; kill++) {
            // As the kill left it; changed by hand; where a copy was left, the copy read as zeros, or
            // one byte of its content changed on the disk; where the photo was left mixed, met first by
            // its other name, in another folder.
            for (int variant = 0, variants = 2; variant < variants; variant++) {
                SCOPED_TRACE(std::string(path.name) + ", killed at step " + std::to_string(kill) + ", variant " +
                             std::to_string(variant));
                RemoveTree(s_folder);
                MakeTree(s_folder, {{"photo.jpg", BIG_INPUT}});
                std::string second = root + "/elsewhere/second.jpg";
                RemoveTree(root + "/elsewhere");
                MakeTree(root + "/elsewhere", {});
                ASSERT_TRUE(!path.twoNames || link(Photo().c_str(), second.c_str()) == 0);
                ASSERT_TRUE(!path.repair || (mixedAt > 0 && RunKilledAt(mixedAt)));
                if (!RunKilledAt(kill)) {
                    steps = kill - 1;  // the rewrite was over: its result is checked all the same
                }
                std::string photo = ReadBytes(Photo()), copy;
                std::vector<std::string> left = Leftovers();
                for (const std::string& name : left) {
                    std::string bytes = ReadBytes(s_folder + "/" + name);
                    if (bytes.size() > BIG_OUTPUT.size() && bytes.compare(0, BIG_OUTPUT.size(), BIG_OUTPUT) == 0) {
                        copy = bytes;
                    }
                }
                bool whole = photo == BIG_INPUT || photo == BIG_OUTPUT;
                EXPECT_TRUE(whole || (IsMix(photo, BIG_INPUT, BIG_OUTPUT) && !copy.empty())) << Named(photo);
                if (!whole && !path.repair && mixedAt == 0) {
                    mixedAt = kill;
                }
                variants = copy.empty() ? variants : whole ? 4 : 5;
                std::string kept = "Kept from an interrupted rewrite: " + s_folder + "/";
                std::string log;
                // By hand: another photo, or, beside a copy, one byte of this one at its end.
                std::string byHand = copy.empty() ? BY_HAND : photo.substr(0, photo.size() - 1) + "!";
                if (variant == 1) {
                    WriteBytes(Photo(), byHand);
                } else if (variant >= 2) {  // never used; taken for a damaged file, left alone
                    std::string copyPath = s_folder + "/" + left[0];
                    if (variant == 3) {
                        WriteBytes(copyPath, std::string(copy).replace(1000, 1, 1, (char)(copy[1000] ^ 1)));
                    }
                    FakeReset();
                    PlatSetFault(PLAT_FAULT_READ_OTHER, variant == 2);
                    ConvertFile((variant == 4 ? second : Photo()).c_str(), 0);
                    EXPECT_EQ(ReadBytes(Photo()), photo);
                    EXPECT_NE(FakeLog().find(variant == 4 ? "Header Broken: " + second : kept), std::string::npos)
                        << FakeLog();
                    WriteBytes(copyPath, copy);
                }
                log = RunOverFolder();
                EXPECT_EQ(ReadBytes(Photo()) == byHand, variant == 1) << log;
                EXPECT_TRUE(variant == 1 || Named(ReadBytes(Photo())) == "new") << log;
                EXPECT_EQ(log.find("Repaired after an interruption: ") != std::string::npos, !whole && variant != 1)
                    << log;
                EXPECT_EQ(log.find("Header Broken: "), std::string::npos) << log;  // read again once repaired
                for (const std::string& name : Leftovers()) {  // only what it reported as kept
                    EXPECT_NE(log.find(kept + name), std::string::npos) << log;
                    EXPECT_TRUE(variant == 1 || Named(ReadBytes(s_folder + "/" + name)) == "old") << name;
                }
                EXPECT_TRUE(variant != 1 || Leftovers() == left);  // what the hand changed, nothing fits
            }
        }
        printf("%s: %d steps\n", path.name, steps);
        EXPECT_GT(steps, 5) << path.name;
    }
    // A copy serves its own photo alone: named after a duplicate of the
    // photo (a file id used again), it is kept for the photo. A repair whose
    // reading again fails says so.
    RemoveTree(s_folder);
    MakeTree(s_folder, {{"photo.jpg", BIG_INPUT}, {"dup.jpg", BIG_INPUT}});
    RemoveTree(root + "/elsewhere");
    MakeTree(root + "/elsewhere", {});
    ASSERT_EQ(link(Photo().c_str(), (root + "/elsewhere/second.jpg").c_str()), 0);
    ASSERT_TRUE(RunKilledAt(mixedAt));
    ASSERT_EQ(Leftovers().size(), 1u);
    char name[64];
    snprintf(name, sizeof(name), "/.marlovex-c%llx~", (unsigned long long)StatOf(s_folder + "/dup.jpg").st_ino);
    std::string copy = s_folder + "/" + Leftovers()[0], renamed = s_folder + name;
    ASSERT_EQ(rename(copy.c_str(), renamed.c_str()), 0);
    FakeReset();
    ConvertFile((s_folder + "/dup.jpg").c_str(), 0);
    EXPECT_EQ(FakeLog(), "Kept from an interrupted rewrite: " + renamed + "\r\n");
    EXPECT_EQ(ReadBytes(s_folder + "/dup.jpg"), BIG_INPUT);
    ASSERT_EQ(rename(renamed.c_str(), copy.c_str()), 0);
    FakeReset();
    PlatSetFault(PLAT_FAULT_READ_OPEN, 2);
    ConvertFile(Photo().c_str(), 0);
    PlatSetFault(PLAT_FAULT_READ_OPEN, 0);
    EXPECT_EQ(FakeLog(), "Repaired after an interruption: " + Photo() + "\r\nCan't read: " + Photo() + "\r\n");
    EXPECT_EQ(Named(ReadBytes(Photo())), "new");
}
