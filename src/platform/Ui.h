// Ui.h - the interface services that the cleaning core and the worker call,
// and the drop object that the worker reads. Each front end supplies them:
// the Windows dialog (src/shell), the console front end (src/batch) and the
// unit tests' fakes (tests/TestKit.cpp). Every call but UiLogAppend is
// synchronous: when it returns, the request has been carried out.
#pragma once

#include <cstdint>

#include "resource.h"  // the control numbers, IDC_*

//----------------------------------------------------------------------------
// The log pane.

// UiLogAppend - one append to the pane: ask the control for its text's
// length L, set an empty selection at L, replace the selection with `text`
// (undoable), so the text lands at the very end whatever the user selected.
// The Windows dialog may carry it out after the call returns, so that the
// worker need not wait for the edit control; it is always in the pane
// before any later request below takes effect, so texts, clears, control
// changes and boxes keep their order.
void UiLogAppend(const char* text);
// UiClearLog - sets the log's whole text to the empty string.
void UiClearLog(void* dialog);

//----------------------------------------------------------------------------
// Controls and message boxes. `dialog` is the main dialog's handle, as the
// worker was given it.

// UiEnableControl - enables (1) or disables (0) button `id`.
void UiEnableControl(void* dialog, int id, int enable);
// UiIsChecked - 1 when check box `id` is in the checked state exactly.
int UiIsChecked(void* dialog, int id);
// UiMessageBox - a plain box with one OK button and no icon, shown by the
// calling thread, which waits for OK. `owner` is the main dialog (which is
// disabled meanwhile) or null for a box without owner.
void UiMessageBox(void* owner, const char* text, const char* caption);

//----------------------------------------------------------------------------
// The drop object: what was dropped on the dialog.

// DropItemCount - number of dropped items.
uint32_t DropItemCount(void* drop);
// DropItemPath - item `index`'s path, whole, in a tracked block that the
// caller releases: UTF-8, full (Windows: "." and ".." resolved, '/' as
// '\\'), as the user would write it. Null on failure.
char* DropItemPath(void* drop, uint32_t index);
// DropRelease - releases the drop object.
void DropRelease(void* drop);
