// The batch worker on its own thread, driven as the dialog drives it, as
// one table: a tree, a drop, runs -> the timeline of log text, buttons and
// boxes that the window gets.
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "TestKit.h"
#include "core/Catalogue.h"
#include "core/Log.h"
#include "worker/Worker.h"

static int s_dialogToken;
static void* const DIALOG = &s_dialogToken;
static const std::string PHOTO = SOI + JFIF + Seg(0xE1, "<x:xmpmeta/>") + IMAGE;  // 16 bytes of XMP

static bool WaitFor(bool (*condition)())
{
    for (int i = 0; i < 4000 && !condition(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// The timeline's pieces: a drop pass that lists `listing`; a run (Ran) whose
// first item ends with `first` and the rest goes on with `rest`.
static std::string Drop(const std::string& listing)
{
    return "<STOP 1><clear>" + listing + "<released><START 1><STOP 0>";
}

static std::string Ran(const std::string& first, const std::string& rest = "")
{
    return "<START 0><STOP 1>Started\r\n" + first + "<STOP 0>" + rest + "<START 1>";
}

static std::string Cleaned(const std::string& path, int count = 1)
{
    return Rep("XMP removed: $R/" + path + "\r\n16 byte data was removed.\r\n", count);
}

static std::string Total(int bytes)
{
    return "Completed\r\nTotal " + std::to_string(bytes) + " byte data was removed.\r\n";
}

static const std::string CANCELED = "Operation canceled.\r\n<box owned Cancel: Operation canceled>";

// The user acting while the worker goes on: at the `nth` append of `on`
// (each append then reaches the pane at once), `act`.
struct Hook {
    const char* on;
    int nth;
    void (*act)();
};
static Hook s_hook;
static int s_seen;
static FakeDrop s_secondDrop;
static std::string s_root;

// A row: the tree, what is dropped, what happens on the way, and the
// timeline the window gets.
struct WorkerCase {
    const char* name;
    Tree tree;
    std::vector<std::string> items = {};  // below the root ("/" as it is); none: every file of the tree
    Hook hook = {"", 0, nullptr};         // acts on an append
    int runs = 1;                         // STARTs after the drop
    void (*before)(int run) = nullptr;    // before each run
    int allApp = 0;
    int listed = 0;                       // items the list holds after the drop
    std::string timeline;
};

class WorkerTest : public TempTest {};

TEST_F(WorkerTest, Table)
{
    s_root = root;
    std::string deep;
    while (deep.size() < 300) {
        deep += std::string(40, 'd') + "/";
    }
    Tree many, ten, forty = {{"B/x0.jpg", PHOTO}, {"B/x1.jpg", PHOTO}};
    for (int i = 0; i < 257; i++) {
        many.push_back({"x" + std::to_string(i) + ".jpg", ""});
        ten.push_back({"A/d" + std::to_string(i % 2) + "/x" + std::to_string(i) + ".jpg", ""});
        forty.push_back({"A/x" + std::to_string(i) + ".jpg", PHOTO});
    }
    ten.resize(20);
    forty.resize(42);
    const Tree two = {{"A/x0.jpg", PHOTO}, {"B/x1.jpg", PHOTO}};
    const std::string a = "$R/A/x#.jpg\r\n", b = "$R/B/x#.jpg\r\n";
    const Hook stopAtThird = {"XMP removed: ", 3, [] { g_cancel = 1; }};
    const WorkerCase cases[] = {
        {.name = "two folders and one without photos: running totals", .tree = {two[0], two[1], {"C/notes.txt", "x"}},
         .items = {"A", "B", "C"}, .listed = 3,
         .timeline = Drop(a + b) + Ran(Cleaned("A/x#.jpg"), Total(16) + Cleaned("B/x#.jpg") + Total(32) + Total(32))},
        {.name = "all-APP mode from the check box", .tree = {two[0]}, .items = {"A/x0.jpg"}, .allApp = 1, .listed = 1,
         .timeline = Drop(a) + Ran("APP headers removed: $R/A/x#.jpg\r\n34 byte data was removed.\r\n", Total(34))},
        {.name = "START again: the same list, totals from 0; a STOP while idle is dropped", .tree = {two[0]},
         .items = {"A"}, .runs = 3,
         .before = [](int run) { run == 1 ? WriteBytes(s_root + "/A/x0.jpg", PHOTO) : (void)(g_cancel = 1); },
         .listed = 1,
         .timeline = Drop(a) + Rep(Ran(Cleaned("A/x#.jpg"), Total(16)), 2) +
                     Ran("No XMP: " + a, "No file has been converted.\r\n")},
        {.name = "a drive root empties the list; START does nothing", .tree = {two[0]}, .items = {"A", "/"},
         .timeline = "<STOP 1><clear><clear><box owned Error: Don't drop the root folder of the drive><released><STOP 0>"},
        {.name = "an item that cannot be listed", .tree = {}, .items = {"missing"},
         .timeline = "<STOP 1><clear><box owned Error: Found invalid files/folders><released><STOP 0>"},
        {.name = "listed, then gone by START: the run goes on", .tree = two, .items = {"A", "B"},
         .before = [](int) { rename((s_root + "/A").c_str(), (s_root + "/moved").c_str()); }, .listed = 2,
         .timeline = Drop(a + b) + Ran("", "Found invalid files/folders.\r\n<box owned Error: Found invalid files/folders>" +
                                              Cleaned("B/x#.jpg") + Total(16))},
        {.name = "STOP during the listing of a tree", .tree = ten, .items = {"A"},
         .hook = {"\r\n", 10, [] { g_cancel = 1; }},
         .timeline = "<STOP 1><clear>" + Rep("$R/A/d#/x#.jpg\r\n", 10) +
                     "Operation canceled\r\n<box owned Cancel: Operation canceled><released><START 1><STOP 0>"},
        {.name = "START, then STOP between single files: the stored one runs", .tree = {two[0], {"A/x1.jpg", PHOTO}},
         .hook = {"\r\n", 1, [] { g_startRequested = g_cancel = 1; }}, .runs = 0, .listed = 1,
         .timeline = Drop(a) + Ran(Cleaned("A/x#.jpg"), Total(16))},
        {.name = "STOP during a run: the file in hand is finished", .tree = forty, .items = {"A", "B"},
         .hook = stopAtThird, .listed = 2, .timeline = Drop(Rep(a, 40) + Rep(b, 2)) + Ran(Cleaned("A/x#.jpg", 3), CANCELED)},
        {.name = "closing during a run: the file in hand is finished", .tree = forty, .items = {"A", "B"},
         .hook = {"XMP removed: ", 3, [] { g_workerQuit = 1; }}, .listed = 2,
         .timeline = Drop(Rep(a, 40) + Rep(b, 2)) + Ran(Cleaned("A/x#.jpg", 3), CANCELED + CANCELED)},
        {.name = "a drop during a run waits for its end", .tree = {two[0], {"A/x1.jpg", PHOTO}, two[1]},
         .items = {"A"}, .hook = {"XMP removed: ", 1, [] { g_pendingDrop = &s_secondDrop; }}, .listed = 1,
         .timeline = Drop(Rep(a, 2)) + Ran(Cleaned("A/x#.jpg", 2), Total(32)) + "<START 0>" + Drop(b)},
        {.name = "only the first 256 of 257 items", .tree = many, .runs = 0, .listed = 256,
         .timeline = Drop(Rep("$R/x#.jpg\r\n", 256))},
        {.name = "an item past 300 characters", .tree = {{deep + "x0.jpg", PHOTO}}, .items = {deep}, .runs = 0,
         .listed = 1, .timeline = Drop("$R/" + deep + "x#.jpg\r\n")},
    };
    for (const WorkerCase& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(root);
        mkdir(root.c_str(), 0700);
        MakeTree(root, c.tree);
        FakeReset();
        FakeSetChecked(c.allApp);
        s_seen = 0;
        s_hook = c.hook;
        s_secondDrop = FakeDrop{{root + "/B"}};
        SetLogBatching(c.hook.act ? 0 : 3600 * 1000);  // a hook acts on single appends
        FakeOnAppend([](const std::string& text) {
            if (s_hook.act && text == s_hook.on && ++s_seen == s_hook.nth) {
                s_hook.act();
            }
        });
        g_cancel = g_startRequested = g_itemCount = 0;
        std::thread worker(WorkerMain, DIALOG);  // a fresh one: nothing carried from the row before
        FakeDrop drop;
        for (const std::string& item : c.items) {
            drop.paths.push_back(item == "/" ? item : root + "/" + item);
        }
        for (size_t i = 0; c.items.empty() && i < c.tree.size(); i++) {
            drop.paths.push_back(root + "/" + c.tree[i].first);
        }
        g_pendingDrop = &drop;
        ASSERT_TRUE(WaitFor([] { return g_pendingDrop.load() == nullptr && g_startRequested.load() == 0; }));
        EXPECT_EQ(g_itemCount.load(), c.listed);
        for (int run = 0; run < c.runs; run++) {
            if (c.before) {
                c.before(run);
            }
            g_startRequested = g_itemCount.load() > 0;  // the dialog's own test
            ASSERT_TRUE(WaitFor([] { return g_startRequested.load() == 0 && g_pendingDrop.load() == nullptr; }));
        }
        g_workerQuit = 1;
        worker.join();
        g_workerQuit = 0;
        EXPECT_EQ(Timeline(), c.timeline);
        EXPECT_EQ(FakeHeldBack(), 0);  // every box and button came after the lines before it
    }
}
