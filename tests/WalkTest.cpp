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

// Whether the files under each folder of `visits` come one after another,
// as a walk that is depth first visits them, whatever the system's order.
static bool DepthFirst(const std::vector<std::string>& visits)
{
    for (const std::string& visit : visits) {
        for (size_t slash = visit.find('/', 1); slash != std::string::npos; slash = visit.find('/', slash + 1)) {
            std::string folder = visit.substr(0, slash + 1);
            auto under = [&](const std::string& path) { return path.compare(0, folder.size(), folder) == 0; };
            auto first = std::find_if(visits.begin(), visits.end(), under);
            auto last = std::find_if(visits.rbegin(), visits.rend(), under).base();
            if (!std::all_of(first, last, under)) {
                return false;
            }
        }
    }
    return true;
}

// Folders 0 to levels - 1, a photo in each; each folder links twice to the
// next, so that the last is reached by 2^(levels - 1) paths. With `spread`,
// the folders link to nothing, and a folder "links" links once to each, so
// that each folder is met twice, after the set of folders has grown.
static Tree Farm(int levels, bool spread)
{
    Tree tree;
    for (int i = 0; i < levels; i++) {
        std::string folder = std::to_string(i), next = "->../" + std::to_string(i + 1);
        tree.push_back({folder + "/p" + folder + ".jpg", "x"});
        if (spread) {
            tree.push_back({"links/" + folder, "->../" + folder});
        } else if (i + 1 < levels) {
            tree.push_back({folder + "/l1", next});
            tree.push_back({folder + "/l2", next});
        }
    }
    return tree;
}

class WalkTest : public TempTest {};

TEST_F(WalkTest, Table)
{
    // Two subfolders, each with one inside it: only depth first keeps each subtree together.
    const Tree plain = {{"a.jpg", "x"}, {"z.jpg", "x"}, {"m/b.jpg", "x"}, {"m/y.jpg", "x"}, {"m/n/c.jpg", "x"},
                        {"k/q.jpg", "x"}, {"k/o/d.jpg", "x"}};
    const struct {
        const char* name;
        Tree tree;
        const char* start;  // below the root; "" the root itself
        size_t stopAt;
        int fault, nth;             // a fault of the platform (PlatSetFault)
        const char* cut;            // visits end before the first under it: none under it
        int result;
        bool once;  // links make the paths: each file's name once, in any order
    } cases[] = {
        {"a file as given", plain, "/a.jpg", 0, 0, 0, nullptr, WALK_OK, false},
        {"a file stopped", plain, "/a.jpg", 1, 0, 0, nullptr, WALK_STOPPED, false},
        {"depth first, subfolders where they come", plain, "", 0, 0, 0, nullptr, WALK_OK, false},
        {"the same with a separator", plain, "/", 0, 0, 0, nullptr, WALK_OK, false},
        {"stopped at the third file", plain, "", 3, 0, 0, nullptr, WALK_STOPPED, false},
        {"an unlistable subfolder ends it all", plain, "", 0, PLAT_FAULT_FIND, 2, "/m/", WALK_INVALID, false},
        {"a system junction is passed over", {{"a.jpg", "x"}, {"My Music/b.jpg", "x"}}, "", 0,
         PLAT_FAULT_SYSTEM_LINK, -1, "/My Music/", WALK_OK, false},
        // ".", ".." and the photo, then the listing fails where it would end.
        {"a listing that fails midway", {{"a.jpg", "x"}}, "", 0, PLAT_FAULT_FIND_NEXT, 3, nullptr, WALK_INVALID,
         false},
        {"an empty folder", {{"e/", ""}}, "/e", 0, 0, 0, nullptr, WALK_OK, false},
        {"missing", {}, "/missing", 0, 0, 0, nullptr, WALK_INVALID, false},
        {"hidden and dot names are walked", {{".h/c.jpg", "x"}, {".x", "x"}, {"..x", "x"}}, "", 0, 0, 0, nullptr,
         WALK_OK, false},
        // Links are followed, each folder entered once however many lead to it.
        {"links back to the root and up", {{"a/b/photo.jpg", "x"}, {"a/b/up", "->.."}, {"a/top", "->../"}}, "", 0, 0,
         0, nullptr, WALK_OK, true},
        {"a dropped link to its own folder", {{"a.jpg", "x"}, {"l", "->."}}, "/l", 0, 0, 0, nullptr, WALK_OK, true},
        {"a farm reaching a photo 2^16 times", Farm(17, false), "", 0, 0, 0, nullptr, WALK_OK, true},
        {"1000 folders, each met twice", Farm(1000, true), "", 0, 0, 0, nullptr, WALK_OK, true},
        // A file system that gives every folder the id 0: each is walked,
        // and a link back into the walk still ends.
        {"folders without an identity", plain, "", 0, PLAT_FAULT_NO_ID, -1, nullptr, WALK_OK, false},
        {"without an identity, links back", {{"a/b/photo.jpg", "x"}, {"a/b/up", "->.."}, {"a/top", "->../"}}, "", 0,
         PLAT_FAULT_NO_ID, -1, nullptr, WALK_OK, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(root);
        mkdir(root.c_str(), 0700);
        MakeTree(root, c.tree);
        // The files of the tree under the start, by path; with links, every
        // file's name. A walk stopped or cut short visits some of them.
        std::string start = c.start;
        start += start.empty() || start.back() == '/' ? "" : "/";
        std::vector<std::string> files;
        for (const auto& entry : c.tree) {
            std::string path = "/" + entry.first;
            if (path.back() != '/' && entry.second.compare(0, 2, "->") != 0 &&
                (c.once || path.compare(0, start.size(), start) == 0 || path == c.start)) {
                files.push_back(c.once ? path.substr(path.rfind('/') + 1) : path);
            }
        }
        s_seen.clear();
        s_stopAt = c.stopAt;
        PlatSetFault(c.fault, c.nth);
        EXPECT_EQ(WalkPath((root + c.start).c_str(), Record), c.result);
        PlatSetFault(c.fault, 0);
        for (std::string& seen : s_seen) {
            seen = c.once ? seen.substr(seen.rfind('/') + 1) : seen.substr(root.size());
            seen = seen.compare(0, 2, "//") == 0 ? seen.substr(1) : seen;  // a start ending in '/'
        }
        EXPECT_TRUE(c.once || DepthFirst(s_seen));
        std::vector<std::string> seen = s_seen;
        std::sort(seen.begin(), seen.end());
        std::sort(files.begin(), files.end());
        if (c.stopAt || c.cut) {
            EXPECT_TRUE(std::includes(files.begin(), files.end(), seen.begin(), seen.end()));
            EXPECT_EQ(seen.size(), c.stopAt ? std::min(c.stopAt, files.size()) : seen.size());
            auto under = [&](const std::string& path) { return c.cut && path.compare(0, strlen(c.cut), c.cut) == 0; };
            EXPECT_TRUE(std::none_of(seen.begin(), seen.end(), under));
            if (c.cut && c.result == WALK_OK) {  // passed over, the rest walked
                files.erase(std::remove_if(files.begin(), files.end(), under), files.end());
                EXPECT_EQ(seen, files);
            }
        } else {
            EXPECT_EQ(seen, files);  // each once
        }
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
