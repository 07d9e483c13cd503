// Log.h - the log pane and the message boxes as the core and the worker
// use them: the line shapes, and the batching of appends.
//
// Each append to the pane (its length, an empty selection at the end, the
// replacement of that selection) costs the edit control about the same
// whatever the text's length, and the cost grows with the pane's text: one
// append per line made a drop of a few thousand photos take minutes. So
// appends are gathered and reach the pane in batches, one pane append
// each. The order of texts, clears, boxes and button changes is kept: the
// gathered text reaches the pane before any message box is shown and
// before a button changes (FlushLog), and a clear drops what it would
// erase.
//
// One thread at a time uses these: the interface thread for its opening
// texts, before the worker starts; afterwards the worker alone.
#pragma once

#include <cstdint>

// SetLogBatching - 0 (the start-up setting) sends every append to the pane
// at once, as marlovex-batch streams its output; a number of milliseconds
// gathers appends and hands them over at most that long after the last
// batch, at the next append or LogTick, or at a flush point.
void SetLogBatching(uint32_t intervalMs);

// AppendLog - appends `text` at the very end of the log pane, leaving what is
// there untouched; adds no line break of its own.
void AppendLog(const char* text);

// FlushLog - hands the gathered text to the pane now, in one append.
void FlushLog();

// LogTick - hands the gathered text over when the interval has passed; the
// walk callbacks call it for every file, so a line never waits long even
// when no other line follows it.
void LogTick();

// LogPendingLength - bytes gathered and not yet in the pane.
int32_t LogPendingLength();

// ClearLog - empties the pane; gathered text is dropped, as the clear would
// erase it anyway.
void ClearLog(void* dialog);

// ShowBox - a message box (see UiMessageBox), shown after the text gathered
// so far has reached the pane.
void ShowBox(void* owner, const char* text, const char* caption);

// AppendReport - a per-file line: the prefix of entry `id`, the path, "\r\n".
void AppendReport(int id, const char* path);

// AppendStatus - a status line: the entry's text followed by `ending`
// ("\r\n", or ".\r\n").
void AppendStatus(int id, const char* ending);

// AppendByteCount - "<bytes> byte data was removed.\r\n", with the label of
// entry MSG_TOTAL in front when `total` is 1.
void AppendByteCount(int total, int32_t bytes);


// ShowError - a message box (ShowBox) with caption MSG_ERROR_CAPTION and
// the text "%s%s<ending>" of entry `id` and `path`; `owner` as for
// UiMessageBox.
void ShowError(void* owner, int id, const char* path, const char* ending);
