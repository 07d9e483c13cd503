// BatchUi.h - the interface services of the console front end: the log is
// standard output, message boxes are lines on standard error.
#pragma once

#include <cstdint>

// A drop made of the command line's paths.
struct BatchDrop {
    const char* const* paths;
    uint32_t count;
};

// The token the worker gets as its dialog.
void* BatchDialog();
// State of the "Remove all APP headers" check box.
void BatchSetAllApp(int checked);
// Writes the log held back so far and streams from now on.
void BatchFlushLog();
// Whether START is enabled.
int BatchStartEnabled();
// Whether a message box was shown.
int BatchBoxShown();
