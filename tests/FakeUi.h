// FakeUi.h - test doubles for the interface services and the drop object:
// a log that behaves like the edit control, recorded message boxes and
// control states, and drops made from lists of paths. Safe to call from a
// worker thread while the test thread looks on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct FakeBox {
    void* owner;
    std::string text;
    std::string caption;
};

struct FakeDrop {
    std::vector<std::string> paths;
    int released = 0;
};

// Forget everything recorded; START and STOP disabled (as the dialog
// creates them), the check box clear.
void FakeReset();
std::string FakeLogText();
// Number of appends the pane received.
int FakeAppendCount();
// Log text still gathered (not in the pane) when a box was shown or a
// button changed, in bytes, summed over all of them: 0 when each came after
// the lines that precede it.
int FakeTextHeldBack();
std::vector<FakeBox> FakeBoxes();
int FakeControlEnabled(int id);
void FakeSetChecked(int checked);
// The user selects start..end in the pane.
void FakeSelect(int32_t start, int32_t end);
// Number of times the log was cleared.
int FakeClearCount();
// Called (without the fake's lock held) each time a box is shown, before it
// is "answered"; lets a test act while the worker waits for OK.
void FakeOnBox(std::function<void(const FakeBox&)> hook);
// Called each time a line of text is appended to the log.
void FakeOnAppend(std::function<void(const std::string&)> hook);
