// Ui.h - the interface services the cleaning core calls: the log pane and
// message boxes. Each front end supplies them: the Windows dialog
// (src/shell), the console front end (src/batch) and the unit tests'
// fakes (tests/TestKit.cpp). Every call but UiLogAppend is synchronous:
// when it returns, the request has been carried out.
#pragma once

// UiLogAppend - one append to the pane: ask the control for its text's
// length L, set an empty selection at L, replace the selection with `text`
// (undoable), so the text lands at the very end whatever the user selected.
// The Windows dialog may carry it out after the call returns, so that the
// worker need not wait for the edit control; it is always in the pane
// before any later request takes effect, so texts, clears, control changes
// and boxes keep their order.
void UiLogAppend(const char* text);
// UiClearLog - sets the log's whole text to the empty string. `dialog` is
// the main dialog's handle, as the worker was given it.
void UiClearLog(void* dialog);
// UiMessageBox - a plain box with one OK button and no icon, shown by the
// calling thread, which waits for OK. `owner` is the main dialog (which is
// disabled meanwhile) or null for a box without owner.
void UiMessageBox(void* owner, const char* text, const char* caption);
