// Tests of the batch worker on its own thread, with fake interface services
// and fake drops, the way the dialog drives it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "FakeUi.h"
#include "TestFiles.h"
#include "core/Catalogue.h"
#include "platform/Ui.h"
#include "support/Track.h"
#include "worker/Worker.h"

static int s_dialogToken;
static void* const DIALOG = &s_dialogToken;

static bool WaitFor(const std::function<bool()>& condition, int seconds = 20)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

static std::string Xmp()
{
    return Soi() + Segment(0xE0, "JFIF") + Segment(0xE1, "<x:xmpmeta/>") + ImageData();
}

static std::string Plain()
{
    return Soi() + Segment(0xE0, "JFIF") + ImageData();
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = MakeTempFolder();
        FakeReset();
        g_cancel = 0;
        g_startRequested = 0;
        g_itemCount = 0;
        g_pendingDrop = nullptr;
        g_workerQuit = 0;
        blocks = TrackLiveCount();
        // The log as the window gets it, but gathered until a flush point
        // only: the final text must not depend on when batches go out.
        SetLogBatching(3600 * 1000);
        worker = std::thread(WorkerMain, DIALOG);
    }
    void TearDown() override
    {
        g_workerQuit = 1;
        worker.join();
        g_workerQuit = 0;
        // Every box and button change came after the lines before it.
        EXPECT_EQ(FakeTextHeldBack(), 0);
        SetLogBatching(0);
        FakeReset();
        EXPECT_EQ(TrackLiveCount(), blocks);
        RemoveTree(root);
    }
    // Hands `drop` to the worker as the dialog does and waits for its pass.
    void DropAndWait(FakeDrop* drop)
    {
        int released = drop->released;
        g_pendingDrop = drop;
        ASSERT_TRUE(WaitFor([&] { return g_pendingDrop.load() == nullptr; }));
        EXPECT_EQ(drop->released, released + 1);
    }
    // Presses START and waits for the run to end.
    void RunAndWait()
    {
        if (g_itemCount.load() > 0) {  // the dialog's own test
            g_startRequested = 1;
        }
        ASSERT_TRUE(WaitFor([] { return g_startRequested.load() == 0; }));
    }
    std::string Folder(const std::string& name, int xmpFiles, int plainFiles)
    {
        std::string path = root + "/" + name;
        mkdir(path.c_str(), 0755);
        for (int i = 0; i < xmpFiles; i++) {
            WriteBytes(path + "/x" + std::to_string(i) + ".jpg", Xmp());
        }
        for (int i = 0; i < plainFiles; i++) {
            WriteBytes(path + "/p" + std::to_string(i) + ".jpg", Plain());
        }
        return path;
    }
    // The listing lines of a folder, in enumeration order.
    std::string Listing(const std::string& folder)
    {
        std::string text;
        for (const std::string& name : EnumerationOrder(folder)) {
            text += folder + "/" + name + "\r\n";
        }
        return text;
    }
    std::string root;
    std::thread worker;
    int blocks = 0;
};

TEST_F(WorkerTest, TwoFoldersInXmpModeAndTheButtonStates)
{
    std::string a = Folder("A", 3, 0);
    std::string b = Folder("B", 0, 0);
    WriteBytes(b + "/notes.txt", "not a photo");
    FakeDrop drop{{a, b}};

    // While listing: START disabled, STOP enabled.
    int listingStart = -1, listingStop = -1;
    FakeOnAppend([&](const std::string&) {
        if (listingStart < 0) {
            listingStart = FakeControlEnabled(IDC_START);
            listingStop = FakeControlEnabled(IDC_STOP);
        }
    });
    DropAndWait(&drop);
    EXPECT_EQ(listingStart, 0);
    EXPECT_EQ(listingStop, 1);
    EXPECT_EQ(FakeLogText(), Listing(a));
    EXPECT_EQ(FakeAppendCount(), 1);  // the whole listing in one append
    EXPECT_EQ(g_itemCount.load(), 2);
    EXPECT_EQ(FakeControlEnabled(IDC_START), 1);  // ready
    EXPECT_EQ(FakeControlEnabled(IDC_STOP), 0);

    // While running: START disabled, STOP enabled until the first item ends.
    int runStart = -1, runStop = -1;
    FakeOnAppend([&](const std::string& text) {
        if (text.compare(0, 7, "Started") == 0) {
            runStart = FakeControlEnabled(IDC_START);
            runStop = FakeControlEnabled(IDC_STOP);
        }
    });
    RunAndWait();
    EXPECT_EQ(runStart, 0);
    EXPECT_EQ(runStop, 1);
    std::string expected = Listing(a) + "Started\r\n";
    for (const std::string& name : EnumerationOrder(a)) {
        expected += "XMP removed: " + a + "/" + name + "\r\n16 byte data was removed.\r\n";
    }
    expected += "Completed\r\nTotal 48 byte data was removed.\r\n";
    expected += "Completed\r\nTotal 48 byte data was removed.\r\n";  // after B, the same total
    EXPECT_EQ(FakeLogText(), expected);
    EXPECT_TRUE(FakeBoxes().empty());
    EXPECT_EQ(FakeControlEnabled(IDC_START), 1);
    EXPECT_EQ(FakeControlEnabled(IDC_STOP), 0);
    EXPECT_EQ(ReadBytes(a + "/x0.jpg"), Plain());
}

TEST_F(WorkerTest, StartTwiceRepeatsTheRunOnTheSameList)
{
    std::string a = Folder("A", 2, 1);
    FakeDrop drop{{a}};
    DropAndWait(&drop);
    RunAndWait();
    FakeReset();
    RunAndWait();  // the list stays: the same items once more
    std::string expected = "Started\r\n";
    for (const std::string& name : EnumerationOrder(a)) {
        expected += "No XMP: " + a + "/" + name + "\r\n";
    }
    expected += "No file has been converted.\r\n";
    EXPECT_EQ(FakeLogText(), expected);
}

TEST_F(WorkerTest, AllAppModeFollowsTheCheckBox)
{
    std::string a = Folder("A", 1, 0);
    FakeDrop drop{{a + "/x0.jpg"}};
    DropAndWait(&drop);
    FakeSetChecked(1);
    RunAndWait();
    EXPECT_EQ(FakeLogText(), a + "/x0.jpg\r\nStarted\r\nAPP headers removed: " + a +
                                 "/x0.jpg\r\n24 byte data was removed.\r\nCompleted\r\nTotal 24 byte data was removed.\r\n");
    EXPECT_EQ(ReadBytes(a + "/x0.jpg"), Soi() + ImageData());
}

TEST_F(WorkerTest, DriveRootIsRefused)
{
    std::string a = Folder("A", 1, 0);
    FakeDrop drop{{a, "/"}};
    DropAndWait(&drop);
    EXPECT_EQ(FakeLogText(), "");  // the listing of A is cleared
    auto boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, DIALOG);
    EXPECT_EQ(boxes[0].text, "Don't drop the root folder of the drive");
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(g_itemCount.load(), 0);
    EXPECT_EQ(FakeControlEnabled(IDC_START), 0);
    EXPECT_EQ(FakeControlEnabled(IDC_STOP), 0);
}

TEST_F(WorkerTest, UnlistableItemDuringListingAndDuringARun)
{
    FakeDrop missing{{root + "/missing"}};
    DropAndWait(&missing);
    auto boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Found invalid files/folders");
    EXPECT_EQ(FakeLogText(), "");
    EXPECT_EQ(FakeControlEnabled(IDC_START), 0);

    // Listed fine, gone by the time START is pressed: reported, and the run
    // goes on with the next item.
    FakeReset();
    std::string a = Folder("A", 1, 0);
    std::string b = Folder("B", 1, 0);
    FakeDrop drop{{a, b}};
    DropAndWait(&drop);
    ASSERT_EQ(rename(a.c_str(), (root + "/moved").c_str()), 0);
    FakeReset();
    RunAndWait();
    EXPECT_EQ(FakeLogText(), "Started\r\nFound invalid files/folders.\r\nXMP removed: " + b +
                                 "/x0.jpg\r\n16 byte data was removed.\r\nCompleted\r\nTotal 16 byte data was removed.\r\n");
    boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Found invalid files/folders");
    EXPECT_EQ(boxes[0].caption, "Error");
}

TEST_F(WorkerTest, StopDuringTheListingOfALargeTree)
{
    SetLogBatching(0);  // the hook below acts on single appends
    std::string a = Folder("A", 0, 0);
    for (int d = 0; d < 20; d++) {
        std::string sub = a + "/d" + std::to_string(d);
        mkdir(sub.c_str(), 0755);
        for (int i = 0; i < 100; i++) {
            WriteBytes(sub + "/" + std::to_string(i) + ".jpg", "");
        }
    }
    int listed = 0;
    FakeOnAppend([&](const std::string& text) {
        if (text == "\r\n" && ++listed == 10) {
            g_cancel = 1;  // STOP
        }
    });
    FakeDrop drop{{a}};
    DropAndWait(&drop);
    std::string log = FakeLogText();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 11);
    EXPECT_EQ(log.substr(log.size() - 20), "Operation canceled\r\n");
    auto boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Operation canceled");
    EXPECT_EQ(boxes[0].caption, "Cancel");
    EXPECT_EQ(boxes[0].owner, DIALOG);
    EXPECT_EQ(g_itemCount.load(), 0);  // the list is emptied: START does nothing
}

TEST_F(WorkerTest, StopBetweenSingleFilesKeepsOnlyTheStoredItems)
{
    SetLogBatching(0);  // the hook below acts on single appends
    std::string a = Folder("A", 3, 0);
    FakeOnAppend([&](const std::string& text) {
        if (text == "\r\n") {
            g_cancel = 1;  // STOP after the first item's walk
        }
    });
    FakeDrop drop{{a + "/x0.jpg", a + "/x1.jpg", a + "/x2.jpg"}};
    DropAndWait(&drop);
    EXPECT_EQ(FakeLogText(), a + "/x0.jpg\r\n");
    EXPECT_TRUE(FakeBoxes().empty());
    EXPECT_EQ(g_itemCount.load(), 1);
    FakeOnAppend(nullptr);
    RunAndWait();
    EXPECT_EQ(ReadBytes(a + "/x0.jpg"), Plain());
    EXPECT_EQ(ReadBytes(a + "/x1.jpg"), Xmp());  // never stored, never walked
}

TEST_F(WorkerTest, StopDuringARunFinishesTheCurrentFile)
{
    SetLogBatching(0);  // the hook below acts on single appends
    std::string a = Folder("A", 40, 0);
    std::string b = Folder("B", 2, 0);
    FakeDrop drop{{a, b}};
    DropAndWait(&drop);
    FakeReset();
    int converted = 0;
    FakeOnAppend([&](const std::string& text) {
        if (text == "XMP removed: " && ++converted == 3) {
            g_cancel = 1;  // STOP while the third file is being reported
        }
    });
    RunAndWait();
    std::string log = FakeLogText();
    EXPECT_EQ(log.substr(log.size() - 21), "Operation canceled.\r\n");
    auto boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Cancel");
    int rewritten = 0;
    for (const std::string& name : FolderNames(a)) {
        rewritten += ReadBytes(a + "/" + name) == Plain();
    }
    EXPECT_EQ(rewritten, 3);
    EXPECT_EQ(FolderNames(a).size(), 40u);           // no temporary file left
    EXPECT_EQ(ReadBytes(b + "/x0.jpg"), Xmp());       // later items not processed
    EXPECT_EQ(FakeControlEnabled(IDC_START), 1);
}

TEST_F(WorkerTest, DropArrivingDuringARunWaitsForItsEnd)
{
    SetLogBatching(0);  // the hook below acts on single appends
    std::string a = Folder("A", 2, 0);
    std::string b = Folder("B", 1, 0);
    FakeDrop first{{a}};
    FakeDrop second{{b}};
    DropAndWait(&first);
    FakeOnAppend([&](const std::string& text) {
        if (text == "XMP removed: " && g_pendingDrop.load() == nullptr) {
            g_pendingDrop = &second;  // dropped while the run goes on
        }
    });
    g_startRequested = 1;
    ASSERT_TRUE(WaitFor([&] { return second.released == 1; }));
    FakeOnAppend(nullptr);
    EXPECT_EQ(ReadBytes(a + "/x0.jpg"), Plain());
    EXPECT_EQ(ReadBytes(a + "/x1.jpg"), Plain());  // the run was finished first
    EXPECT_EQ(FakeLogText(), Listing(b));          // then the log was replaced
    EXPECT_EQ(g_itemCount.load(), 1);
    EXPECT_EQ(std::string(g_items[0]), b);
}

TEST_F(WorkerTest, OnlyTheFirst256ItemsAreTaken)
{
    std::string a = Folder("A", 0, 0);
    FakeDrop drop;
    for (int i = 0; i < 300; i++) {
        std::string path = a + "/" + std::to_string(1000 + i) + ".jpg";
        WriteBytes(path, "");
        drop.paths.push_back(path);
    }
    DropAndWait(&drop);
    EXPECT_EQ(g_itemCount.load(), 256);
    std::string log = FakeLogText();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 256);
    EXPECT_NE(log.find(a + "/1255.jpg\r\n"), std::string::npos);
    EXPECT_EQ(log.find(a + "/1256.jpg"), std::string::npos);
}

// An item is kept whole, however long, and walked like any other.
TEST_F(WorkerTest, ItemPastMaxPathIsWalked)
{
    std::string deep = root;
    while (deep.size() < 300) {
        deep += "/" + std::string(40, 'd');
        mkdir(deep.c_str(), 0755);
    }
    WriteBytes(deep + "/x.jpg", Xmp());
    FakeDrop drop{{deep}};
    DropAndWait(&drop);
    EXPECT_EQ(FakeBoxes().size(), 0u);
    EXPECT_EQ(FakeLogText(), deep + "/x.jpg\r\n");
    EXPECT_EQ(g_itemCount.load(), 1);
}
