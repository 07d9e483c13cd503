// RunState.h - every variable that the interface thread and the worker
// thread share, in one place. The interface thread raises requests (a drop,
// START, STOP, closing); the worker carries them out one at a time.
//
// Each is one atomic word: a store by one thread is seen by the other's next
// load, without a lock. Nothing stronger is needed, since every hand-over is
// confirmed by the worker's next poll (every 100 ms), and each variable has
// one job.
#pragma once

#include <atomic>

// A drop waiting for the drop pass. Written by the dialog when a drop
// arrives and this is null (a drop onto the window, the program's own
// command line, a second copy's paths), by the worker when its drop pass
// ends (null), and by the close sequence once the worker has stopped. Read
// by both.
extern std::atomic<void*> g_pendingDrop;

// START was pressed. Written by the dialog (1) and by the worker when the
// run ends (0). Read by the worker.
extern std::atomic<int> g_startRequested;

// Stop the walk in progress. Written by the dialog on STOP and by the
// console front end on Ctrl+C, SIGTERM or SIGHUP (1), and by the worker at
// the top of each cycle and when a drop pass ends (0). Read by the worker
// before each file.
extern std::atomic<int> g_cancel;

// Valid slots of the drop list. Written by the worker. Read by the dialog:
// START acts only when it is above 0.
extern std::atomic<int> g_itemCount;

// The program is closing. Written by the close sequence (1). Read by the
// worker, which then starts nothing new and leaves WorkerMain.
extern std::atomic<int> g_workerQuit;
