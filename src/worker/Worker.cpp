// Worker.cpp - the drop pass and the run.
#include "worker/Worker.h"


#include "core/Catalogue.h"
#include "core/Convert.h"
#include "core/Log.h"
#include "core/Walk.h"
#include "platform/Platform.h"
#include "support/Track.h"
#include "worker/WorkerUi.h"

char* g_items[DROP_SLOT_COUNT];
std::atomic<void*> g_pendingDrop{nullptr};
std::atomic<int> g_startRequested{0};
std::atomic<int> g_cancel{0};
std::atomic<int> g_itemCount{0};
std::atomic<int> g_workerQuit{0};

// The run in progress, kept by the worker thread alone: its mode, the bytes
// removed so far (held at 2147483647 rather than overflowing its signed 32
// bits) and whether any file was rewritten.
static int s_allApp;
static int32_t s_totalRemoved;
static int s_anyConverted;

// What the worker last asked of START and STOP. Both begin disabled, as the
// dialog creates them; a request that changes nothing is not sent, which
// spares the interface thread one request per dropped item in a run.
static int s_startShown;
static int s_stopShown;

static void ShowOwned(void* dialog, int text, int caption)
{
    ShowBox(dialog, Msg(text), Msg(caption));
}

// A button changes only after the log text that precedes the change has
// reached the pane.
static void SetButton(void* dialog, int button, int enable)
{
    int* shown = button == WORKER_START ? &s_startShown : &s_stopShown;
    if (*shown == enable) {
        return;
    }
    FlushLog();
    UiEnableButton(dialog, button, enable);
    *shown = enable;
}

//----------------------------------------------------------------------------
// The walk callbacks. STOP, and the program's end, are looked at before
// each file, so they take effect at the next file; the file in hand is
// finished.
static int Stopping()
{
    return g_cancel.load() || g_workerQuit.load();
}

static int ListStep(const char* path)
{
    if (Stopping()) {
        return 0;
    }
    LogTick();
    ListCandidate(path);
    return 1;
}

static int ConvertStep(const char* path)
{
    if (Stopping()) {
        return 0;
    }
    LogTick();
    int32_t removed = ConvertFile(path, s_allApp);
    if (removed >= 0) {
        s_totalRemoved = removed > INT32_MAX - s_totalRemoved ? INT32_MAX : s_totalRemoved + removed;
        s_anyConverted = 1;
    }
    return 1;
}

// Empties the drop list.
static void ClearItems()
{
    for (char*& item : g_items) {
        TrackedFree(item);
        item = nullptr;
    }
}

//----------------------------------------------------------------------------
// WorkerDropPass - stores the dropped items in the drop list and lists the
// JPEG files under them. A drive root or an item that cannot be listed
// empties the list and leaves START disabled; STOP empties it too.
void WorkerDropPass(void* dialog)
{
    int failed = 0;
    SetButton(dialog, WORKER_START, 0);
    SetButton(dialog, WORKER_STOP, 1);
    ClearItems();
    ClearLog(dialog);

    void* drop = g_pendingDrop.load();
    uint32_t count = DropItemCount(drop);
    // The list has 256 slots: the first 256 items are taken.
    if (count > (uint32_t)DROP_SLOT_COUNT) {
        count = DROP_SLOT_COUNT;
    }
    g_itemCount = (int)count;
    int stored = 0;
    for (int i = 0; i < g_itemCount.load() && !g_cancel.load(); i++) {
        // Each item is kept whole, however long: a path cut short could
        // name another folder.
        g_items[i] = DropItemPath(drop, (uint32_t)i);
        if (g_items[i] != nullptr && PlatIsRootFolder(g_items[i])) {
            g_itemCount = 0;
            ClearLog(dialog);
            ShowOwned(dialog, MSG_ROOT_FOLDER, MSG_ERROR_CAPTION);
            failed = 1;
            break;
        }
        stored = i + 1;
        // An item that cannot be had whole, or is not an item at all (a
        // device, a stream), fails as a folder that cannot be listed.
        int result = g_items[i] ? WalkPath(g_items[i], ListStep) : WALK_INVALID;
        if (result == WALK_INVALID) {
            g_itemCount = 0;
            ShowOwned(dialog, MSG_INVALID_ITEMS, MSG_ERROR_CAPTION);
            failed = 1;
        } else if (result == WALK_STOPPED) {
            g_itemCount = 0;
            AppendStatus(MSG_CANCELED, "\r\n");
            ShowOwned(dialog, MSG_CANCELED, MSG_CANCEL_CAPTION);
        }
    }
    // STOP between two items ends the loop at its own test: only the items
    // stored so far are valid, and an empty slot is never walked.
    if (g_itemCount.load() > stored) {
        g_itemCount = stored;
    }
    FlushLog();
    DropRelease(drop);
    g_pendingDrop = nullptr;
    g_cancel = 0;
    if (!failed) {
        SetButton(dialog, WORKER_START, 1);
    }
    SetButton(dialog, WORKER_STOP, 0);
}

//----------------------------------------------------------------------------
// WorkerRun - converts every file under every stored item, with a summary
// after each item. STOP is possible while the first item is walked.
void WorkerRun(void* dialog)
{
    s_totalRemoved = 0;
    s_allApp = UiAllAppChecked(dialog);
    SetButton(dialog, WORKER_START, 0);
    SetButton(dialog, WORKER_STOP, 1);
    AppendStatus(MSG_STARTED, "\r\n");
    s_anyConverted = 0;
    for (int i = 0; i < g_itemCount.load() && !g_cancel.load(); i++) {
        int result = WalkPath(g_items[i], ConvertStep);
        SetButton(dialog, WORKER_STOP, 0);
        if (result == WALK_OK) {
            if (s_anyConverted) {
                AppendStatus(MSG_COMPLETED, "\r\n");
                AppendByteCount(1, s_totalRemoved);
            } else {
                AppendLog(Msg(MSG_NOTHING_CONVERTED));
            }
        } else if (result == WALK_INVALID) {
            AppendStatus(MSG_INVALID_ITEMS, ".\r\n");
            ShowOwned(dialog, MSG_INVALID_ITEMS, MSG_ERROR_CAPTION);
        } else if (result == WALK_STOPPED) {
            AppendStatus(MSG_CANCELED, ".\r\n");
            ShowOwned(dialog, MSG_CANCELED, MSG_CANCEL_CAPTION);
        }
    }
    FlushLog();
    g_startRequested = 0;
    SetButton(dialog, WORKER_START, 1);
    SetButton(dialog, WORKER_STOP, 0);
}

// The close sequence sets g_workerQuit: from then on nothing new begins, so
// a drop that arrives or a START pressed during the close is never taken up.
void WorkerCycle(void* dialog)
{
    g_cancel = 0;  // a STOP while idle is discarded
    if (g_pendingDrop.load() != nullptr && !g_workerQuit.load()) {
        WorkerDropPass(dialog);
    }
    if (g_startRequested.load() && !g_workerQuit.load()) {
        WorkerRun(dialog);
    }
}

void WorkerMain(void* dialog)
{
    s_startShown = 0;
    s_stopShown = 0;
    while (!g_workerQuit.load()) {
        WorkerCycle(dialog);
        PlatSleep(100);
    }
    ClearItems();
}
