// WorkerUi.h - what the worker asks of a front end beyond the log and the
// boxes (core/Ui.h): its two buttons, its check box and the drop object.
// The Windows dialog (src/shell), the console front end (src/batch) and
// the unit tests' fakes (tests/TestKit.cpp) supply them; each is
// synchronous. `dialog` is the main dialog's handle, as the worker was
// given it.
#pragma once

#include <cstdint>

// The worker's buttons.
enum WorkerButton { WORKER_START, WORKER_STOP };

// UiEnableButton - enables (1) or disables (0) `button`.
void UiEnableButton(void* dialog, int button, int enable);
// UiAllAppChecked - 1 when "Remove all APP headers" is checked exactly.
int UiAllAppChecked(void* dialog);

// The drop object: what was dropped on the dialog.

// DropItemCount - number of dropped items.
uint32_t DropItemCount(void* drop);
// DropItemPath - item `index`'s path, whole, in a tracked block that the
// caller releases: UTF-8, full (Windows: "." and ".." resolved, '/' as
// '\\'), as the user would write it. Null on failure, and for an item that
// is none (a device, a stream, a name that does not convert exactly).
char* DropItemPath(void* drop, uint32_t index);
// DropRelease - releases the drop object.
void DropRelease(void* drop);
