// Worker.h - the batch worker: the background thread that takes dropped
// items, lists the JPEG files under them and converts them on START.
//
// The interface thread only raises requests through the shared run state
// (RunState.h); the worker polls it every 100 ms and carries the requests
// out one at a time. Every change to the controls, the log and the message
// boxes goes through the interface services (core/Ui.h, worker/WorkerUi.h).
#pragma once

#include "worker/RunState.h"

// The drop list: one path per slot, each a tracked block of its own, of any
// length (null when empty); worker thread only. The first 256 items of a
// drop are taken.
constexpr int DROP_SLOT_COUNT = 256;
extern char* g_items[DROP_SLOT_COUNT];

// WorkerMain - the thread body: one cycle every 100 ms until g_workerQuit is
// set. `dialog` is the main dialog: the owner of the worker's message boxes.
void WorkerMain(void* dialog);

// WorkerCycle - one cycle: clear a stale cancel, take a pending drop, then
// a requested run; nothing new starts once g_workerQuit is set.
void WorkerCycle(void* dialog);

// The two halves of a cycle, for the console front end, for which a STOP
// (Ctrl+C) is never stale: WorkerDropPass when a drop is pending, WorkerRun
// when a run is requested; neither clears g_cancel first.
void WorkerDropPass(void* dialog);
void WorkerRun(void* dialog);
