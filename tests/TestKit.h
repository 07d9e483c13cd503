// TestKit.h - what the unit tests share: one JPEG builder, trees in
// temporary folders made from a short description, captured reports, fake
// interface services that record what the worker asked of the window, and
// a fixture that checks nothing leaks.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

//----------------------------------------------------------------------------
// JPEG bytes. Seg: FF, the marker, the big-endian length (the payload's + 2
// unless given), the payload.
std::string Seg(unsigned char marker, const std::string& payload, int length = -1);
extern const std::string SOI, JFIF, EXIF, XMP, ICC, ADOBE, IMAGE;  // IMAGE: a DQT, a scan, EOI

//----------------------------------------------------------------------------
// Files. A tree is a list of entries below a root: "a/b.jpg" with its bytes,
// "a/" a folder, "a/l" with bytes "->target" a symbolic link; the root and
// the folders on the way are made.
typedef std::vector<std::pair<std::string, std::string>> Tree;
void MakeTree(const std::string& root, const Tree& tree);
std::string MakeTempFolder();
bool IsInTempFolder(const std::string& realPath);  // links resolved
void RemoveTree(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
std::vector<std::string> FolderNames(const std::string& path);  // sorted
int OpenDescriptorCount();
// Runs `body` in a child that, when this process is root, has become the
// user nobody; its result (0..99), or -1 when that failed.
int RunUnprivileged(int (*body)(const std::string&), const std::string& argument);
// What the support library reported while `body` ran.
std::string CaptureReports(const std::function<void()>& body);

//----------------------------------------------------------------------------
// Fake interface services (platform/Ui.h). Everything the worker asks of the
// window is recorded, in order, in one timeline: the log's text as it
// reaches the pane, and "<clear>", "<START 1>" (enabled), "<STOP 0>",
// "<box owned CAPTION: TEXT>" (or "unowned"), "<released>" (the drop). One
// thread at a time.
struct FakeDrop {
    std::vector<std::string> paths;
};
void FakeReset();             // and the check box clear
std::string FakeLog();        // the pane's text
std::string FakeTimeline();
int FakeAppends();            // appends the pane received
int FakeHeldBack();           // log bytes still gathered when a box or button came
void FakeSetChecked(int checked);
// Called with each appended text, without the fake's lock held.
void FakeOnAppend(std::function<void(const std::string&)> hook);

//----------------------------------------------------------------------------
// A temporary folder `root`, fresh fakes, and at the end: no tracked block
// and no descriptor left, every seam of the platform reset.
class TempTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The timeline with `root` as "$R" and numbered names ("x12.jpg", "d3")
    // as "x#.jpg", "d#".
    std::string Timeline() const;
    std::string root;
    int blocks = 0;
    int descriptors = 0;
};

// `text` `count` times.
std::string Rep(const std::string& text, int count);
