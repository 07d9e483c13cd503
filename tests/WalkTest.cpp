// The tree walk as one table: trees -> the files visited and the result.
#include <sys/stat.h>

#include <algorithm>

#include "TestKit.h"
#include "core/Walk.h"
#include "platform/Platform.h"

static std::vector<std::string> s_seen;
static size_t s_stopAt;  // answer zero on this call (1-based); 0 = never

static int Record(const char* path)
{
    s_seen.push_back(path);
    return s_seen.size() != s_stopAt;
}

// Depth first, in the system's order: a subfolder's files where its entry
// comes (links not followed).
static void DepthFirst(const std::string& folder, std::vector<std::string>* out)
{
    for (const std::string& name : EnumerationOrder(folder)) {
        struct stat status;
        if (lstat((folder + "/" + name).c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            DepthFirst(folder + "/" + name, out);
        } else {
            out->push_back(folder + "/" + name);
        }
    }
}

// Folders 0 to levels - 1, the photo in the last; each folder links twice to
// the next, or (`across`) to the folder across from it and to the root.
static Tree Farm(int levels, bool across)
{
    Tree tree = {{std::to_string(levels - 1) + "/photo.jpg", "x"}};
    for (int i = 0; i + 1 < levels; i++) {
        std::string next = "->../" + std::to_string(across ? levels - 1 - i : i + 1);
        tree.push_back({std::to_string(i) + "/l1", next});
        tree.push_back({std::to_string(i) + "/l2", across ? "->.." : next});
    }
    return tree;
}

class WalkTest : public TempTest {};

TEST_F(WalkTest, Table)
{
    const Tree plain = {{"a.jpg", "x"}, {"z.jpg", "x"}, {"m/b.jpg", "x"}, {"m/y.jpg", "x"}, {"m/n/c.jpg", "x"}};
    const struct {
        const char* name;
        Tree tree;
        const char* start;  // below the root; "" the root itself
        size_t stopAt;
        int failingFind;            // the Nth enumeration fails
        const char* cut;            // visits end before the first under it
        int result;
        std::vector<std::string> links;  // the names visited, where links make the paths
    } cases[] = {
        {"a file as given", plain, "/a.jpg", 0, 0, nullptr, WALK_OK, {}},
        {"a file stopped", plain, "/a.jpg", 1, 0, nullptr, WALK_STOPPED, {}},
        {"depth first, subfolders where they come", plain, "", 0, 0, nullptr, WALK_OK, {}},
        {"the same with a separator", plain, "/", 0, 0, nullptr, WALK_OK, {}},
        {"stopped at the third file", plain, "", 3, 0, nullptr, WALK_STOPPED, {}},
        {"an unlistable subfolder ends it all", plain, "", 0, 2, "/m/", WALK_INVALID, {}},
        {"an empty folder", {{"e/", ""}}, "/e", 0, 0, nullptr, WALK_OK, {}},
        {"missing", {}, "/missing", 0, 0, nullptr, WALK_INVALID, {}},
        {"hidden and dot names are walked", {{".h/c.jpg", "x"}, {".x", "x"}, {"..x", "x"}}, "", 0, 0, nullptr, WALK_OK,
         {}},
        // Links are followed, each folder entered once however many lead to it.
        {"links back to the root and up", {{"a/b/photo.jpg", "x"}, {"a/b/up", "->.."}, {"a/top", "->../"}}, "", 0, 0,
         nullptr, WALK_OK, {"photo.jpg"}},
        {"a farm reaching a photo 2^16 times", Farm(17, false), "", 0, 0, nullptr, WALK_OK, {"photo.jpg"}},
        {"70 folders linking across and back", Farm(70, true), "", 0, 0, nullptr, WALK_OK, {"photo.jpg"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(root);
        mkdir(root.c_str(), 0700);
        MakeTree(root, c.tree);
        std::vector<std::string> expected;
        std::string start = root + c.start;
        if (start.back() == '/') {
            start.pop_back();
        }
        struct stat status;
        expected = c.links;
        if (c.links.empty() && stat(start.c_str(), &status) == 0) {
            S_ISDIR(status.st_mode) ? DepthFirst(start, &expected) : expected.push_back(start);
        }
        if (c.cut) {
            auto end = std::find_if(expected.begin(), expected.end(),
                                    [&](const std::string& p) { return p.rfind(root + c.cut, 0) == 0; });
            expected.erase(end, expected.end());
        }
        if (c.stopAt) {
            expected.resize(std::min(expected.size(), c.stopAt));
        }
        s_seen.clear();
        s_stopAt = c.stopAt;
        PlatSetFault(PLAT_FAULT_FIND, c.failingFind);
        EXPECT_EQ(WalkPath((root + c.start).c_str(), Record), c.result);
        for (std::string& seen : s_seen) {
            seen = c.links.empty() ? seen : seen.substr(seen.rfind('/') + 1);
        }
        EXPECT_EQ(s_seen, expected);
    }
    EXPECT_EQ(WalkPath((root + "/missing").c_str(), nullptr), WALK_NO_CALLBACK);
    EXPECT_EQ(WalkPath(root.c_str(), nullptr), WALK_NO_CALLBACK);
    EXPECT_EQ(WalkPath("", Record), WALK_INVALID);
}

static int WalkLocked(const std::string& path)
{
    return WalkPath(path.c_str(), Record);
}

// Root lists every folder: a folder it may not list is walked as nobody.
TEST_F(WalkTest, UnreadableFolder)
{
    chmod(root.c_str(), 0711);
    mkdir((root + "/locked").c_str(), 0000);
    EXPECT_EQ(RunUnprivileged(WalkLocked, root + "/locked"), WALK_INVALID);
}
