// Worker.h - the batch worker: the background thread that takes dropped
// items, lists the JPEG files under them and converts them on START.
//
// The interface thread only raises requests through the shared run state
// below; the worker polls it every 100 ms and carries the requests out one
// at a time. Every change to the controls, the log and the message boxes
// goes through the interface services (platform/Ui.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/Convert.h"  // g_cancel
#include "core/Strip.h"    // g_allAppMode, g_totalRemoved, g_anyConverted

// The drop list: one NUL-terminated path per slot.
constexpr int DROP_SLOT_COUNT = 256;
constexpr int DROP_SLOT_SIZE = 261;
constexpr uint32_t DROP_PATH_CAPACITY = 260;  // the longest path is 259 bytes
extern char g_items[DROP_SLOT_COUNT][DROP_SLOT_SIZE];

// Shared run state.
extern std::atomic<void*> g_pendingDrop;  // a drop waiting for the drop pass
extern std::atomic<int> g_startRequested; // START was pressed
extern std::atomic<int> g_itemCount;      // valid slots of the drop list
extern std::atomic<int> g_workerQuit;     // the program is closing: end WorkerMain

// WorkerMain - the thread body: one cycle every 100 ms until g_workerQuit is
// set. `dialog` is the main dialog: the owner of the worker's message boxes.
void WorkerMain(void* dialog);

// WorkerCycle - one cycle: clear a stale cancel, take a pending drop, then
// a requested run.
void WorkerCycle(void* dialog);
