// BatchUi.h - the interface services of the console front end: the log is
// standard output, message boxes are lines on standard error.
#pragma once

#include <cstdint>
#include <cstdio>

// A drop made of the command line's paths.
struct BatchDrop {
    const char* const* paths;
    uint32_t count;
};

// BatchSetUpOutput - prepares standard output and standard error for
// BatchPrint; called once before anything is written.
void BatchSetUpOutput();
// BatchPrint - writes the UTF-8 text `text` to `stream` (stdout or stderr):
// a Windows console gets it as UTF-16, anything else gets the bytes.
void BatchPrint(FILE* stream, const char* text);
// BatchOutputFailed - whether a write to a console failed (a stream's own
// failures show in ferror).
int BatchOutputFailed();

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
