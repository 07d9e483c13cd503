// BatchMain.cpp - marlovex-batch, the console front end.
//
//   marlovex-batch [--all-app] PATH...
//
// Acts as if the PATHs had been dropped on the window and START pressed once
// the listing succeeded: one drop pass, then one run. Standard output holds
// what the log pane would hold at the end; each message box becomes a line
// "CAPTION: TEXT" on standard error, as if OK had been pressed. Exit status:
// 0 without a message box, 1 with one or when the log could not be written,
// 2 for a usage error. Ctrl+C, SIGTERM and SIGHUP act as STOP.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "platform/WinText.h"
#else
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "batch/BatchUi.h"
#include "core/Catalogue.h"
#include "platform/Platform.h"
#include "support/Track.h"
#include "worker/Worker.h"

static const char USAGE[] = "usage: marlovex-batch [--all-app] PATH...\n";

static volatile sig_atomic_t s_interrupted = 0;

// Ctrl+C, SIGTERM and SIGHUP act as STOP: the file in hand is finished (or
// abandoned, its temporary file removed), nothing after it is begun, and
// the program ends as after STOP. A STOP is never discarded here: once
// given, the run does not begin.
static void OnInterrupt(int number)
{
    s_interrupted = 1;
    g_cancel.store(1);
    signal(number, OnInterrupt);
}

static void CatchSignals()
{
    signal(SIGINT, OnInterrupt);
#ifndef _WIN32
    signal(SIGTERM, OnInterrupt);
    signal(SIGHUP, OnInterrupt);
    // A file-size limit (ulimit -f) makes a write fail, which the rewrite
    // reports, instead of killing the program half-way.
    signal(SIGXFSZ, SIG_IGN);
#endif
}

// English unless the locale (LC_ALL, then LC_MESSAGES, then LANG) is
// Japanese as used in Japan; on Windows the user's default locale decides,
// as for the window.
static int PickLanguage()
{
#ifdef _WIN32
    return LanguageForLocale(GetUserDefaultLCID());
#else
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* value = getenv(name);
        if (value != nullptr && *value != '\0') {
            return strncmp(value, "ja_JP", 5) == 0 ? 1 : 0;
        }
    }
    return 0;
#endif
}

#ifdef _WIN32
// The command line as the system holds it, in UTF-16, each argument in
// UTF-8 (`args`) and as it came (`wide`): the narrow argv would have gone
// through the ANSI code page. 0 when it cannot be had.
static int CommandLine(std::vector<std::string>* args, std::vector<std::wstring>* wide)
{
    int count = 0;
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (list == nullptr) {
        return 0;
    }
    int ok = 1;
    for (int i = 0; i < count; i++) {
        char* utf8 = WinNarrow(list[i], nullptr);
        ok = ok && utf8 != nullptr;
        args->push_back(utf8 ? utf8 : "");
        wide->push_back(list[i]);
        WinFree(utf8);
    }
    LocalFree(list);
    return ok;
}

// A path as a dropped one (WinFullPath), in UTF-8: 0 when it is no item.
static int MakeAbsolute(const std::wstring& path, std::string* out)
{
    char* full = WinFullPath(path.c_str());
    if (full == nullptr) {
        return 0;
    }
    *out = full;
    WinFree(full);
    return 1;
}
#else
// A path as a dropped one: a relative path is made absolute from the
// current folder.
static int MakeAbsolute(const std::string& path, std::string* out)
{
    if (!path.empty() && path[0] == '/') {
        *out = path;
        return 1;
    }
    std::vector<char> folder(4096);
    if (getcwd(folder.data(), folder.size()) == nullptr) {
        return 0;
    }
    *out = folder.data();
    if (out->empty() || out->back() != '/') {
        *out += '/';
    }
    *out += path;
    return 1;
}
#endif

//----------------------------------------------------------------------------
// What the command line asks: the mode and the items, each made full as a
// dropped one is; an item that is none (a device, a stream, a name that
// does not convert exactly) stays in its place as an invalid one.
struct Request {
    int allApp = 0;
    std::vector<std::string> paths;
    std::vector<char> valid;
};

// ParseCommandLine - the request; -1 to go on, or the exit status to end
// with at once (0 after --help, 2 after a usage error).
static int ParseCommandLine(int argc, char** argv, Request* request)
{
    std::vector<std::string> args;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::wstring> wide;
    if (!CommandLine(&args, &wide)) {
        BatchPrint(stderr, "marlovex-batch: the command line cannot be read\n");
        return 2;
    }
#else
    args.assign(argv, argv + argc);
#endif
    int options = 1;
    for (size_t i = 1; i < args.size(); i++) {
        const char* arg = args[i].c_str();
        if (options && strcmp(arg, "--") == 0) {
            options = 0;
        } else if (options && strcmp(arg, "--all-app") == 0) {
            request->allApp = 1;
        } else if (options && (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)) {
            BatchPrint(stdout, USAGE);
            BatchPrint(stdout, "Removes the XMP segment (or, with --all-app, every APP segment but Adobe's\n"
                               "colour segment) that follows the start of each JPEG file under the PATHs.\n");
            return 0;
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            BatchPrint(stderr, ("marlovex-batch: unknown option " + args[i] + "\n" + USAGE).c_str());
            return 2;
        } else {
            std::string absolute;
#ifdef _WIN32
            request->valid.push_back((char)MakeAbsolute(wide[i], &absolute));
#else
            request->valid.push_back((char)MakeAbsolute(args[i], &absolute));
#endif
            request->paths.push_back(absolute);
        }
    }
    if (request->paths.empty()) {
        BatchPrint(stderr, USAGE);
        return 2;
    }
    if (request->paths.size() > (size_t)DROP_SLOT_COUNT) {
        BatchPrint(stderr, ("marlovex-batch: at most " + std::to_string(DROP_SLOT_COUNT) + " paths at once\n").c_str());
        return 2;
    }
    return -1;
}

// SetUp - the process for the run: memory, the log's buffering, the
// language, the reports, the mode, the signals.
static void SetUp(const Request& request)
{
#ifdef __GLIBC__
    // One file is held at a time, so the peak is the largest file. glibc's
    // default would map a file larger than any before it beside the heap
    // that still holds the previous one; taking every block from the heap
    // and never trimming it reuses the same pages for every file, without
    // faulting them in again.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
    // Lines reach a pipe as they are logged, so progress can be followed
    // (on Windows BatchPrint flushes each line, the runtime buffering fully).
    setvbuf(stdout, nullptr, _IOLBF, 4096);
    g_language = PickLanguage();
    g_reportStream = stderr;  // standard output holds the log alone
    BatchSetAllApp(request.allApp);
    CatchSignals();
}

// Run - the drop pass, then the run if the listing succeeded; the exit
// status.
static int Run(const Request& request)
{
    std::vector<const char*> items;
    for (size_t i = 0; i < request.paths.size(); i++) {
        items.push_back(request.valid[i] ? request.paths[i].c_str() : nullptr);
    }
    BatchDrop drop = {items.data(), (uint32_t)items.size()};

    // The drop pass; its log is held back until it ends, since it may clear
    // the log again (a drive root among the items).
    g_pendingDrop = &drop;
    WorkerDropPass(BatchDialog());
    BatchFlushLog();
    if (!s_interrupted && g_itemCount.load() > 0 && BatchStartEnabled()) {
        // WorkerRun keeps a STOP that comes now (unlike a whole cycle, it does
        // not clear g_cancel first), so the run then walks nothing.
        g_startRequested = 1;
        WorkerRun(BatchDialog());
    }
    if (fflush(stdout) != 0 || ferror(stdout) || BatchOutputFailed()) {
        BatchPrint(stderr, "marlovex-batch: the log could not be written to standard output\n");
        return 1;
    }
    return BatchBoxShown() ? 1 : 0;
}

int main(int argc, char** argv)
{
    BatchSetUpOutput();  // before anything is written, a usage error included
    Request request;
    int status = ParseCommandLine(argc, argv, &request);
    if (status >= 0) {
        return status;
    }
    SetUp(request);
    return Run(request);
}
