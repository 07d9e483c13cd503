// Reports.h - capturing what the support library writes to its report
// stream during a test.
#pragma once

#include <cstdio>
#include <string>

#include "support/Track.h"

struct ReportCapture {
    FILE* file = nullptr;
};

inline void BeginReports(ReportCapture* capture)
{
    capture->file = tmpfile();
    g_reportStream = capture->file;
}

// Ends the capture and returns everything written meanwhile.
inline std::string EndReports(ReportCapture* capture)
{
    fflush(capture->file);
    std::string text;
    rewind(capture->file);
    int c;
    while ((c = fgetc(capture->file)) != EOF) {
        text += (char)c;
    }
    fclose(capture->file);
    g_reportStream = nullptr;
    return text;
}
