// Tests of the tree walk over real temporary trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "TestFiles.h"
#include "platform/Platform.h"
#include "support/Track.h"
#include "core/Walk.h"

static std::vector<std::string> s_seen;
static int s_stopAt;  // answer zero on this call (1-based); 0 = never

static int Record(const char* path)
{
    s_seen.push_back(path);
    return (int)s_seen.size() != s_stopAt;
}

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = MakeTempFolder();
        s_seen.clear();
        s_stopAt = 0;
        blocks = TrackLiveCount();
        descriptors = OpenDescriptorCount();
    }
    void TearDown() override
    {
        // Every block released and every enumeration closed, whatever the
        // walk's result.
        EXPECT_EQ(TrackLiveCount(), blocks);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        PlatSetFault(PLAT_FAULT_FIND, 0);
        RemoveTree(root);
    }
    std::vector<std::string> Sorted() const
    {
        std::vector<std::string> seen = s_seen;
        std::sort(seen.begin(), seen.end());
        return seen;
    }
    std::string root;
    int blocks = 0;
    int descriptors = 0;
};

TEST_F(WalkTest, FilePathIsHandedOverAsGiven)
{
    std::string file = root + "/a.jpg";
    WriteBytes(file, "x");
    EXPECT_EQ(WalkPath(file.c_str(), Record), WALK_OK);
    EXPECT_EQ(s_seen, std::vector<std::string>{file});
    s_seen.clear();
    s_stopAt = 1;
    EXPECT_EQ(WalkPath(file.c_str(), Record), WALK_STOPPED);
}

TEST_F(WalkTest, FolderWithAndWithoutSeparatorGiveTheSamePaths)
{
    mkdir((root + "/trip").c_str(), 0755);
    WriteBytes(root + "/a.jpg", "x");
    WriteBytes(root + "/trip/b.jpg", "x");
    const std::vector<std::string> expected = {root + "/a.jpg", root + "/trip/b.jpg"};
    EXPECT_EQ(WalkPath(root.c_str(), Record), WALK_OK);
    EXPECT_EQ(Sorted(), expected);
    s_seen.clear();
    EXPECT_EQ(WalkPath((root + "/").c_str(), Record), WALK_OK);
    EXPECT_EQ(Sorted(), expected);
}

TEST_F(WalkTest, SubfolderIsWalkedWhereItsEntryComes)
{
    mkdir((root + "/m").c_str(), 0755);
    mkdir((root + "/m/n").c_str(), 0755);
    for (const char* name : {"a", "z", "m/b", "m/y", "m/n/c"}) {
        WriteBytes(root + "/" + name + ".jpg", "x");
    }
    ASSERT_EQ(WalkPath(root.c_str(), Record), WALK_OK);
    // Depth first: the files of m (and of m/n) come together, at m's place.
    std::vector<std::string> order = EnumerationOrder(root);
    std::vector<std::string> expected;
    for (const std::string& name : order) {
        if (name != "m") {
            expected.push_back(root + "/" + name);
            continue;
        }
        for (const std::string& inner : EnumerationOrder(root + "/m")) {
            if (inner != "n") {
                expected.push_back(root + "/m/" + inner);
            } else {
                expected.push_back(root + "/m/n/c.jpg");
            }
        }
    }
    EXPECT_EQ(s_seen, expected);
}

TEST_F(WalkTest, EmptyFolderMissingPathNullCallbackAndEmptyPath)
{
    mkdir((root + "/empty").c_str(), 0755);
    EXPECT_EQ(WalkPath((root + "/empty").c_str(), Record), WALK_OK);
    EXPECT_EQ(WalkPath((root + "/missing").c_str(), Record), WALK_INVALID);
    EXPECT_EQ(WalkPath((root + "/missing").c_str(), nullptr), WALK_NO_CALLBACK);
    EXPECT_EQ(WalkPath(root.c_str(), nullptr), WALK_NO_CALLBACK);
    EXPECT_EQ(WalkPath("", Record), WALK_INVALID);
    EXPECT_TRUE(s_seen.empty());
}

TEST_F(WalkTest, StopAtTheThirdFile)
{
    mkdir((root + "/d").c_str(), 0755);
    for (int i = 0; i < 4; i++) {
        WriteBytes(root + "/" + std::to_string(i) + ".jpg", "x");
        WriteBytes(root + "/d/" + std::to_string(i) + ".jpg", "x");
    }
    s_stopAt = 3;
    EXPECT_EQ(WalkPath(root.c_str(), Record), WALK_STOPPED);
    EXPECT_EQ(s_seen.size(), 3u);
}

TEST_F(WalkTest, UnlistableSubfolderEndsTheWholeWalk)
{
    mkdir((root + "/sub").c_str(), 0755);
    WriteBytes(root + "/a.jpg", "x");
    WriteBytes(root + "/sub/s.jpg", "x");
    WriteBytes(root + "/z.jpg", "x");
    // The root's enumeration is the first; the subfolder's, the second.
    PlatSetFault(PLAT_FAULT_FIND, 2);
    EXPECT_EQ(WalkPath(root.c_str(), Record), WALK_INVALID);
    std::vector<std::string> expected;
    for (const std::string& name : EnumerationOrder(root)) {
        if (name == "sub") {
            break;  // nothing after the failing folder is visited
        }
        expected.push_back(root + "/" + name);
    }
    EXPECT_EQ(s_seen, expected);
}

static int WalkLocked(const std::string& path)
{
    return WalkPath(path.c_str(), Record);
}

TEST_F(WalkTest, UnreadableFolderWithoutPermission)
{
    // Root reads every folder: the walk runs as an unprivileged user.
    chmod(root.c_str(), 0711);
    mkdir((root + "/locked").c_str(), 0000);
    EXPECT_EQ(RunUnprivileged(WalkLocked, root + "/locked"), WALK_INVALID);
}

TEST_F(WalkTest, HiddenEntriesAndDotNamesAreWalked)
{
    mkdir((root + "/.hidden").c_str(), 0755);
    WriteBytes(root + "/.hidden/c.jpg", "x");
    WriteBytes(root + "/.x", "x");
    WriteBytes(root + "/..x", "x");
    WriteBytes(root + "/.h.jpg", "x");
    EXPECT_EQ(WalkPath(root.c_str(), Record), WALK_OK);
    EXPECT_EQ(Sorted(), (std::vector<std::string>{root + "/..x", root + "/.h.jpg", root + "/.hidden/c.jpg", root + "/.x"}));
}

// Links are followed, but each folder is entered once per walk, however
// many links lead to it: a link back into an enclosing folder, two links to
// one folder, or a farm of links that would reach one photo 2^17 times.
struct LinkCase {
    const char* name;
    void (*make)(const std::string& root, const std::string& other);
    size_t photos;  // callbacks expected, each for a path ending in photo.jpg
};

static void LinkBack(const std::string& root, const std::string&)
{
    mkdir((root + "/a").c_str(), 0755);
    mkdir((root + "/a/b").c_str(), 0755);
    WriteBytes(root + "/a/b/photo.jpg", "x");
    symlink("..", (root + "/a/b/up").c_str());      // back to a
    symlink(root.c_str(), (root + "/a/top").c_str());  // back to the root
}

static void TwoLinksToAnotherFolder(const std::string& root, const std::string& other)
{
    WriteBytes(other + "/photo.jpg", "x");
    mkdir((root + "/x").c_str(), 0755);
    symlink(other.c_str(), (root + "/x/link").c_str());
    symlink(other.c_str(), (root + "/link2").c_str());
}

static void LinkFarm(const std::string& root, const std::string&)
{
    for (int level = 0; level < 17; level++) {
        mkdir((root + "/" + std::to_string(level)).c_str(), 0755);
    }
    WriteBytes(root + "/16/photo.jpg", "x");
    for (int level = 0; level < 16; level++) {
        std::string next = root + "/" + std::to_string(level + 1);
        symlink(next.c_str(), (root + "/" + std::to_string(level) + "/l1").c_str());
        symlink(next.c_str(), (root + "/" + std::to_string(level) + "/l2").c_str());
    }
}

TEST_F(WalkTest, LinksNeverMultiplyTheWork)
{
    const LinkCase cases[] = {
        {"a link back into an enclosing folder", LinkBack, 1},
        {"two links to another folder", TwoLinksToAnotherFolder, 1},
        {"a farm of 17 folders, each linking twice to the next", LinkFarm, 1},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(root);
        mkdir(root.c_str(), 0700);
        std::string other = MakeTempFolder();
        c.make(root, other);
        s_seen.clear();
        EXPECT_EQ(WalkPath(root.c_str(), Record), WALK_OK);
        EXPECT_EQ(s_seen.size(), c.photos);
        for (const std::string& path : s_seen) {
            EXPECT_EQ(path.substr(path.size() - 9), "photo.jpg");
        }
        RemoveTree(other);
    }
}
