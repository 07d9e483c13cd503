// Log.cpp - the log's line shapes and the batching of its appends.
#include "core/Log.h"

#include <cstring>

#include "core/Catalogue.h"
#include "core/Ui.h"
#include "platform/Platform.h"
#include "support/Track.h"

// The gathered log text. 64 KiB is a few hundred lines: far more than a
// tenth of a second brings, so the buffer fills before the interval ends
// only on an unusually fast run, and then it is simply handed over early.
constexpr size_t LOG_BATCH_CAPACITY = 65536;
static char s_pending[LOG_BATCH_CAPACITY];
static size_t s_pendingLength;
static uint32_t s_batchInterval;  // 0: every append goes straight to the pane
static uint32_t s_lastFlush;

void SetLogBatching(uint32_t intervalMs)
{
    FlushLog();
    s_batchInterval = intervalMs;
}

void FlushLog()
{
    if (s_pendingLength > 0) {
        s_pending[s_pendingLength] = '\0';
        s_pendingLength = 0;
        UiLogAppend(s_pending);
    }
    s_lastFlush = PlatTickCount();
}

void LogTick()
{
    if (s_pendingLength > 0 && PlatTickCount() - s_lastFlush >= s_batchInterval) {
        FlushLog();
    }
}

void AppendLog(const char* text)
{
    size_t length = strlen(text);
    // The terminator that FlushLog adds needs one byte of room.
    if (s_batchInterval == 0 || length >= LOG_BATCH_CAPACITY) {
        FlushLog();
        UiLogAppend(text);
        return;
    }
    if (s_pendingLength + length >= LOG_BATCH_CAPACITY) {
        FlushLog();
    }
    memcpy(s_pending + s_pendingLength, text, length);
    s_pendingLength += length;
    LogTick();
}

int32_t LogPendingLength()
{
    return (int32_t)s_pendingLength;
}

void ClearLog(void* dialog)
{
    s_pendingLength = 0;
    UiClearLog(dialog);
}

void ShowBox(void* owner, const char* text, const char* caption)
{
    FlushLog();
    UiMessageBox(owner, text, caption);
}

void AppendReport(int id, const char* path)
{
    AppendLog(Msg(id));
    AppendLog(path);
    AppendLog("\r\n");
}

void AppendStatus(int id, const char* ending)
{
    AppendLog(Msg(id));
    AppendLog(ending);
}

void AppendByteCount(int total, int32_t bytes)
{
    char* line = total ? FormatText("%s %d %s\r\n", Msg(MSG_TOTAL), (int)bytes, Msg(MSG_BYTES_REMOVED))
                       : FormatText("%d %s\r\n", (int)bytes, Msg(MSG_BYTES_REMOVED));
    if (line) {
        AppendLog(line);
        TrackedFree(line);
    }
}

void ShowError(void* owner, int id, const char* path, const char* ending)
{
    char* text = FormatText("%s%s%s", Msg(id), path, ending);
    // Without a block for the text the box still appears, with the prefix.
    ShowBox(owner, text ? text : Msg(id), Msg(MSG_ERROR_CAPTION));
    TrackedFree(text);
}
