// WinPlatformTest.cpp - the Windows platform layer's own rows: the boundary
// conversions (platform/WinText.h) and the commit of a rewrite. A Windows
// program, run under Wine by the end-to-end suite with a folder of its own
// (ASCII) as its argument; prints each failing row, exits 1 when any failed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BigPhoto.h"
#include "core/Convert.h"
#include "core/Walk.h"
#include "platform/Platform.h"
#include "core/Ui.h"
#include "platform/WinText.h"
#include "support/Track.h"

static int s_failed;

static void Check(bool ok, const std::string& row)
{
    if (!ok) {
        printf("FAILED %s\n", row.c_str());
        s_failed = 1;
    }
}

// A path inside the tool -> what the wide calls get (null: refused).
static const struct {
    const char* path;
    const wchar_t* system;
} SYSTEM_ROWS[] = {
    {"C:\\photos\\a.jpg", L"\\\\?\\C:\\photos\\a.jpg"},
    {"C:/photos/a.jpg", L"\\\\?\\C:\\photos\\a.jpg"},
    {"\\\\server\\share\\a.jpg", L"\\\\?\\UNC\\server\\share\\a.jpg"},
    {"//server/share/a.jpg", L"\\\\?\\UNC\\server\\share\\a.jpg"},
    {"\\\\?\\C:\\x\\..\\y", L"\\\\?\\C:\\x\\..\\y"},
    {"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
    {"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
    {"relative\\a.jpg", L"relative\\a.jpg"},
    {"C:x.jpg", L"C:x.jpg"},  // relative to the drive's current folder
    {"C:\\..\xC2\xA5outside\\\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\xBC", L"\\\\?\\C:\\..\x00A5outside\\\xFF0E\xFF0E\xFF3C"},
    {"C:\\\xE6\x9D\xB1\\\xF0\x9F\x98\x80.jpg", L"\\\\?\\C:\\\x6771\\\xD83D\xDE00.jpg"},
    {"C:\\bad\xC3(", nullptr},         // a lead byte without its continuation
    {"C:\\\xC0\xAF..\\x", nullptr},    // an overlong '/'
    {"C:\\\xED\xA0\x80.jpg", nullptr}, // a surrogate in UTF-8
};

// A dropped or named path -> its form in the drop list (the current folder
// is C:\windows; null: refused as an invalid item) and whether it is a root.
static const struct {
    const wchar_t* path;
    const char* full;
    int root;
} FULL_ROWS[] = {
    {L"C:\\photos\\.\\a\\..\\b", "C:\\photos\\b", 0},
    {L"C:/photos/b/", "C:\\photos\\b\\", 0},
    {L"rel/x.jpg", "C:\\windows\\rel\\x.jpg", 0},
    {L"\\\\server\\share\\x\\..\\..\\y", "\\\\server\\share\\y", 0},  // never above the share
    {L"\\\\server\\share\\", "\\\\server\\share\\", 0},                  // a share's root is walked
    {L"\\\\server", nullptr, 0},
    {L"\\\\?\\C:\\photos\\..\\b.", "C:\\photos\\..\\b.", 0},
    {L"\\\\?\\UNC\\server\\share\\x", "\\\\server\\share\\x", 0},
    {L"C:\\a\\..\x00A5outside", "C:\\a\\..\xC2\xA5outside", 0},
    // Names as they are: trailing dots and spaces, reserved device names.
    {L"C:\\t\\trip.", "C:\\t\\trip.", 0},
    {L"C:/t/sp /a.jpg", "C:\\t\\sp \\a.jpg", 0},
    {L"trip.\\..\\aux\\COM1.jpg", "C:\\windows\\aux\\COM1.jpg", 0},
    // Relative to a drive's current folder, or to the current drive's root.
    {L"C:", "C:\\windows", 0},
    {L"C:..\\x", "C:\\x", 0},
    {L"\\x", "C:\\x", 0},
    // Every form of a drive's root, and a volume's.
    {L"C:\\", "C:\\", 1},
    {L"C:\\..\\..", "C:\\", 1},
    {L"\\\\?\\C:\\", "C:\\", 1},
    {L"//?/C:/", "C:\\", 1},
    {L"\\\\.\\C:\\", "C:\\", 1},
    {L"\\\\.\\C:\\x\\..\\y.", "C:\\y.", 0},
    {L"\\\\?\\Volume{8a1b2c3d-0000-0000-0000-000000000000}\\",
     "\\\\?\\Volume{8a1b2c3d-0000-0000-0000-000000000000}\\", 1},
    // Not items: another device, a long form that is not full, a stream,
    // a name that does not convert exactly.
    {L"\\\\.\\pipe\\x", nullptr, 0},
    {L"\\\\?\\C:photos", nullptr, 0},
    {L"C:\\a.jpg:x.jpg", nullptr, 0},
    {L"C:\\a\xD800" L"b.jpg", nullptr, 0},
};

static void ConversionRows()
{
    for (const auto& row : SYSTEM_ROWS) {
        wchar_t* got = WinSystemPath(row.path);
        Check(row.system ? got && wcscmp(got, row.system) == 0 : got == nullptr,
              std::string("system path ") + row.path);
        WinFree(got);
    }
    std::string longPath = "C:\\";
    for (int i = 0; i < 100; i++) {
        longPath += "folder 10\\";  // past MAX_PATH the path stays whole
    }
    wchar_t* got = WinSystemPath(longPath.c_str());
    Check(got && wcslen(got) == longPath.size() + 4, "system path of 1,003 characters");
    WinFree(got);
    SetCurrentDirectoryW(L"C:\\windows");
    for (const auto& row : FULL_ROWS) {
        char* full = WinFullPath(row.path);
        char* path = WinNarrow(row.path, nullptr);
        Check(row.full ? full && strcmp(full, row.full) == 0 && WinIsRoot(full) == row.root : full == nullptr,
              std::string("full path ") + (path ? path : "?") + ": " + (full ? full : "refused"));
        WinFree(full);
        WinFree(path);
    }
    // A pair of surrogates is one character; one alone becomes U+FFFD and
    // the text is marked inexact.
    const wchar_t pair[] = {L'a', 0xD83D, 0xDE00, 0}, alone[] = {L'a', 0xD800, L'b', 0};
    int exact = -1;
    char* text = WinNarrow(pair, &exact);
    Check(text && strcmp(text, "a\xF0\x9F\x98\x80") == 0 && exact == 1, "narrow: a surrogate pair");
    WinFree(text);
    text = WinNarrow(alone, &exact);
    Check(text && strcmp(text, "a\xEF\xBF\xBD" "b") == 0 && exact == 0, "narrow: an unpaired surrogate");
    WinFree(text);
    char small[5], fits[6];  // the pair's text takes 6 bytes with its terminator
    Check(!WinNarrowInto(pair, small, sizeof(small), nullptr) && small[0] == '\0', "narrow into too small a buffer");
    Check(WinNarrowInto(pair, fits, sizeof(fits), nullptr) && strcmp(fits, "a\xF0\x9F\x98\x80") == 0,
          "narrow into a buffer just large enough");
    Check(!WinNarrowInto(pair, fits, 0, nullptr), "narrow into no room");
    wchar_t* lossy = WinWidenLossy("a\xFF" "b");
    Check(lossy && wcscmp(lossy, L"a\xFFFD" L"b") == 0, "widen, a byte that is not UTF-8 as U+FFFD");
    WinFree(lossy);
}

//----------------------------------------------------------------------------
// Console output in pieces: a console that takes at most `most` units a
// write, or fails at its `failAt`th write (0: never).
struct Console {
    DWORD most;
    int failAt, writes;
    std::wstring got;
    bool splitPair;  // a piece ended inside a pair of surrogates
};

static int WriteToConsole(void* context, const wchar_t* units, DWORD count, DWORD* written)
{
    Console* console = (Console*)context;
    if (++console->writes == console->failAt || count > WIN_WRITE_PIECE) {
        return 0;
    }
    *written = count < console->most ? count : console->most;
    console->splitPair = console->splitPair || (count < WIN_WRITE_PIECE + 1 && IS_HIGH_SURROGATE(units[count - 1]));
    console->got.append(units, *written);
    return 1;
}

static void ConsoleRows()
{
    // 20,000 units with a pair of surrogates across the first piece's end.
    std::wstring text(20000, L'x');
    text[WIN_WRITE_PIECE - 1] = 0xD83D;
    text[WIN_WRITE_PIECE] = 0xDE00;
    const struct {
        const char* name;
        DWORD most;
        int failAt, written;
    } rows[] = {{"whole pieces", WIN_WRITE_PIECE, 0, 1}, {"short writes", 1000, 0, 1}, {"a write fails", 100000, 2, 0},
                {"a write takes nothing", 0, 0, 0}};
    for (const auto& row : rows) {
        Console console = {row.most, row.failAt, 0, L"", false};
        int written = WinWriteInPieces(text.c_str(), text.size(), WriteToConsole, &console);
        Check(written == row.written && (!written || console.got == text) && !console.splitPair,
              std::string("console: ") + row.name);
    }
}


//----------------------------------------------------------------------------
// The commit. Each row writes photo.jpg (OLD), reads it as the file in hand,
// writes NEW to its temporary file and commits, with a fault or another
// program acting at the last moment before each attempt to replace it (the
// race hook: its calls are counted).

static const std::string OLD = "\xFF\xD8old photo", NEW = "\xFF\xD8" "cleaned";
static std::string s_folder;  // with its separator
static std::string s_saw;     // what the other program met
static HANDLE s_scanner = INVALID_HANDLE_VALUE;
static int s_hookCalls;

static std::string Read(const std::string& name)
{
    std::ifstream file(s_folder + name, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return file ? content.str() : "<none>";
}

static void Write(const std::string& name, const std::string& bytes)
{
    std::ofstream(s_folder + name, std::ios::binary) << bytes;
}

// The names in the folder, as the system sorts them; a leftover as "~temp".
static std::string Names()
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((s_folder + "*").c_str(), &data);
    std::string names;
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &data)) {
        std::string name = strncmp(data.cFileName, "~marlovex", 9) ? data.cFileName : "~temp";
        names += name[0] == '.' ? "" : (names.empty() ? "" : " ") + name;
    }
    FindClose(find);
    return names;
}

static std::string LeftoverPath()
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((s_folder + "~marlovex*").c_str(), &data);
    std::string path = find == INVALID_HANDLE_VALUE ? "" : s_folder + data.cFileName;
    FindClose(find);
    return path;
}

static uint64_t FileIndex(const std::string& name)
{
    HANDLE file = CreateFileA((s_folder + name).c_str(), 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
}

// A scanner that holds `path` without letting it be renamed (or, `shareDelete`,
// letting it); the hook lets it go at its next call.
static void Scan(const std::string& path, bool shareDelete)
{
    if (s_scanner == INVALID_HANDLE_VALUE) {
        s_scanner = CreateFileA(path.c_str(), GENERIC_READ, 3 | (shareDelete ? FILE_SHARE_DELETE : 0), nullptr,
                                OPEN_EXISTING, 0, nullptr);
        s_saw = s_scanner == INVALID_HANDLE_VALUE ? "refused" : "scanning";
    } else {
        CloseHandle(s_scanner);
        s_scanner = INVALID_HANDLE_VALUE;
    }
}

static void SaveByRename()
{
    s_saw = MoveFileA((s_folder + "photo.jpg").c_str(), (s_folder + "backup.jpg").c_str()) ? "renamed" : "refused";
    Write("photo.jpg", "new photo");
}

static int ProduceNew(void*, PlatSink sink, void* context)
{
    return sink(context, (const unsigned char*)NEW.data(), (int32_t)NEW.size());
}

enum Identity { REPLACED, SAME };  // the file at the photo's name afterwards, against the one read

static const struct {
    const char* name;
    bool twoNames;  // a hard link second.jpg made first
    PlatRaceHook hook;
    int faultKind, faultNth, committed;
    const char *photo, *names, *saw;  // photo.jpg, the folder and what the hook met afterwards
    Identity identity;
} COMMIT_ROWS[] = {
    {"one name", false, nullptr, 0, 0, 1, "cleaned", "photo.jpg", "", REPLACED},
    {"two names: both cleaned in place", true, nullptr, 0, 0, 1, "cleaned", "photo.jpg second.jpg", "", SAME},
    // An editor saves the photo in place (the same size) while it is held:
    // it must be refused, not overwritten later with the old photo's content.
    {"an editor's same-size save is refused", false, [] {
         HANDLE file = CreateFileA((s_folder + "photo.jpg").c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
         s_saw = file == INVALID_HANDLE_VALUE ? "refused" : "admitted";
         DWORD put;
         WriteFile(file, "new photo", 9, &put, nullptr);
         CloseHandle(file);
     }, 0, 0, 1, "cleaned", "photo.jpg", "refused", REPLACED},
    {"a save by rename is not overwritten", false, SaveByRename, 0, 0, 0, "new photo", "backup.jpg photo.jpg",
     "renamed", REPLACED},
    // A scanner holds the photo until the waits are used up, then goes; a
    // save by rename that lands then is kept.
    {"a scanner holds the photo", false, [] { Scan(s_folder + "photo.jpg", false); }, 0, 0, 1, "cleaned",
     "photo.jpg", "scanning", REPLACED},
    {"a save by rename while a scanner held the photo is kept", false, [] {
         Scan(s_folder + "photo.jpg", false);
         if (++s_hookCalls == 2) {
             SaveByRename();
         }
     }, 0, 0, 0, "new photo", "backup.jpg photo.jpg", "renamed", REPLACED},
    // A scanner holds the temporary file throughout: the photo is never
    // renamed over; the copy cannot have its name, so it stays as it was.
    {"a scanner holds the temporary file, sharing deletion", false, [] {
         if (s_scanner == INVALID_HANDLE_VALUE) {
             Scan(LeftoverPath(), true);
         }
     }, 0, 0, 0, "old photo", "photo.jpg", "scanning", SAME},
    {"a scanner holds the temporary file", false, [] {
         if (s_scanner == INVALID_HANDLE_VALUE) {
             Scan(LeftoverPath(), false);
         }
     }, 0, 0, 0, "old photo", "photo.jpg ~temp", "scanning", SAME},
    {"the temporary file's flush fails", false, nullptr, PLAT_FAULT_FLUSH, 1, 0, "old photo", "photo.jpg",
     "", SAME},
    {"the copy's flush fails, two names", true, nullptr, PLAT_FAULT_FLUSH, 1, 0, "old photo",
     "photo.jpg second.jpg", "", SAME},
    // The held try refused (as Wine may), then every try: rewritten in place.
    {"the held try is refused", false, nullptr, PLAT_FAULT_REPLACE, 1, 1, "cleaned", "photo.jpg", "", REPLACED},
    {"every try is refused: rewritten in place", false, [] { PlatSetFault(PLAT_FAULT_REPLACE, 1); },
     PLAT_FAULT_REPLACE, 1, 1, "cleaned", "photo.jpg", "", SAME},
    {"the photo's flush fails after the replacement", false, nullptr, PLAT_FAULT_FLUSH, 2, 0, "cleaned",
     "photo.jpg", "", REPLACED},
    {"the photo's flush fails in place: the copy stays", true, nullptr, PLAT_FAULT_FLUSH, 3, 0,
     "held", "photo.jpg second.jpg ~temp", "", SAME},
    // Half-way failures: the photo set aside is put back and rewritten in
    // place; a photo that is gone (delete-pending while held) gets the new
    // content, with "File output error".
    {"half-way, the photo set aside", false, nullptr, PLAT_FAULT_ASIDE, 1, 1, "cleaned", "photo.jpg", "", SAME},
    {"half-way, the photo gone while held", false, nullptr, PLAT_FAULT_GONE, 1, 0, "cleaned", "photo.jpg", "",
     REPLACED},
};

static void CommitRows(const char* folder)
{
    for (const auto& row : COMMIT_ROWS) {
        s_folder = std::string(folder) + "\\" + std::to_string(&row - COMMIT_ROWS) + "\\";
        CreateDirectoryA(s_folder.c_str(), nullptr);
        Write("photo.jpg", OLD);
        if (row.twoNames) {
            CreateHardLinkA((s_folder + "second.jpg").c_str(), (s_folder + "photo.jpg").c_str(), nullptr);
        }
        uint64_t before = FileIndex("photo.jpg");
        s_saw = "";
        s_hookCalls = 0;
        PlatFile file;
        PlatReplace replace;
        unsigned char* buffer = nullptr;
        int committed = -1;
        if (PlatLoadWholeFile((s_folder + "photo.jpg").c_str(), &file, &buffer) == (int32_t)OLD.size() &&
            PlatReplaceBegin(&file, &replace) && PlatReplaceWrite(&replace, NEW.data(), (int32_t)NEW.size())) {
            PlatContent content = {buffer, (int32_t)OLD.size(), ProduceNew, nullptr};
            PlatSetRaceHook(row.hook);
            PlatSetFault(row.faultKind, row.faultNth);
            committed = PlatReplaceCommit(&replace, &file, &content);
            PlatSetFault(row.faultKind, 0);
            PlatSetRaceHook(nullptr);
        }
        if (s_scanner != INVALID_HANDLE_VALUE) {
            Scan("", false);
        }
        PlatCloseFile(&file);
        TrackedFree(buffer);
        // The photo in a word: old, cleaned, or cleaned with its header still held at 00 00.
        std::string photo = Read("photo.jpg");
        const std::string held = std::string(2, '\0') + NEW.substr(2);
        photo = photo == OLD ? "old photo" : photo == NEW ? "cleaned" : photo == held ? "held" : photo;
        std::string got = std::to_string(committed) + " " + photo + " | " +
                          (row.twoNames ? (Read("second.jpg") == Read("photo.jpg") ? "same" : "differ") : "same") +
                          " | " + Names() + " | " + s_saw + " | " + (FileIndex("photo.jpg") == before ? "same" : "replaced");
        std::string expect = std::to_string(row.committed) + " " + row.photo + " | same | " + row.names + " | " + row.saw +
                             " | " + (row.identity == SAME ? "same" : "replaced");
        Check(got == expect, std::string("commit: ") + row.name + ": " + got);
    }
}

//----------------------------------------------------------------------------
// A kill at every step of a rewrite, each way a commit can go a row: the
// test runs itself as a child that ConvertFile's the photo and ends at step
// N (TerminateProcess, nothing cleaned up), then checks that the photo holds
// its old bytes or its new ones, or is a mix of the two with its copy
// beside it; a run over the folder then cleans it, leaving only what it
// reports as kept, and a photo changed by hand after the kill is left as the
// hand left it.

static std::string s_log;  // what the core asked of the window

void UiLogAppend(const char* text)
{
    s_log += text;
}

void UiClearLog(void*)
{
    s_log.clear();
}

void UiMessageBox(void*, const char* text, const char* caption)
{
    s_log += std::string("<") + caption + ": " + text + ">";
}

static std::string Segment(unsigned char marker, const std::string& payload)
{
    return std::string{(char)0xFF, (char)marker, (char)((payload.size() + 2) >> 8), (char)(payload.size() + 2)} +
           payload;
}

static std::string BigPhoto(bool xmp)
{
    return "\xFF\xD8" + Segment(0xE0, "JFIF") + (xmp ? Segment(0xE1, "<x:xmpmeta/>") : "") + "\xFF\xDA" + BigImageData();
}
static const std::string BIG_OLD = BigPhoto(true), BIG_NEW = BigPhoto(false);

static const struct {
    const char* name;
    bool twoNames;
    bool refused;  // every try to replace is refused: rewritten in place
    bool repair;   // the kills fall in the run after a rewrite in place killed half-way
} KILL_ROWS[] = {{"one name", false, false, false},
                 {"two names", true, false, false},
                 {"every replacement refused", false, true, false},
                 {"the repair", true, false, true}};

// The child: ConvertFile on the row's photo, killed at step `kill`.
static int KilledChild(int row, int kill)
{
    PlatSetFault(PLAT_FAULT_KILL, kill);
    if (KILL_ROWS[row].refused) {
        PlatSetFault(PLAT_FAULT_REPLACE, 1);
        PlatSetRaceHook([] { PlatSetFault(PLAT_FAULT_REPLACE, 1); });
    }
    ConvertFile((s_folder + "photo.jpg").c_str(), 0);
    return 0;
}

// 1 when the child was killed at step `kill`, 0 when the rewrite was over before.
static int RunKilledAt(int row, int kill)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    // The folder without its last separator, which would escape the closing quote.
    std::string line = "x kill " + std::to_string(row) + " " + std::to_string(kill) + " \"" +
                       s_folder.substr(0, s_folder.size() - 1) + "\"";
    STARTUPINFOA start;
    ZeroMemory(&start, sizeof(start));
    start.cb = sizeof(start);
    PROCESS_INFORMATION child;
    DWORD status = 1;
    if (CreateProcessA(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &child)) {
        WaitForSingleObject(child.hProcess, INFINITE);
        GetExitCodeProcess(child.hProcess, &status);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    return status == (DWORD)PLAT_KILLED_STATUS;
}

static void Clear()
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((s_folder + "*").c_str(), &data);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &data)) {
        DeleteFileA((s_folder + data.cFileName).c_str());
    }
    FindClose(find);
}

static std::vector<std::string> Leftovers()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((s_folder + "~marlovex*").c_str(), &data);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &data)) {
        names.push_back(data.cFileName);
    }
    FindClose(find);
    return names;
}

static void KillRows(const char* folder)
{
    s_folder = std::string(folder) + "\\kill\\";
    CreateDirectoryA(s_folder.c_str(), nullptr);
    int mixedAt = 0;
    for (const auto& row : KILL_ROWS) {
        int steps = 0;
        for (int kill = 1; steps == 0 && kill < 100; kill++) {
            for (int byHand = 0; byHand < 2; byHand++) {
                std::string trace = std::string("kill: ") + row.name + " at step " + std::to_string(kill) +
                                    (byHand ? ", by hand" : "") + ": ";
                Clear();
                Write("photo.jpg", BIG_OLD);
                if (row.twoNames) {
                    CreateHardLinkA((s_folder + "second.jpg").c_str(), (s_folder + "photo.jpg").c_str(), nullptr);
                }
                if (row.repair && !RunKilledAt(1, mixedAt)) {
                    Check(false, trace + "no mixed photo to repair");
                }
                if (!RunKilledAt((int)(&row - KILL_ROWS), kill)) {
                    steps = kill - 1;
                }
                std::string photo = Read("photo.jpg");
                std::vector<std::string> left = Leftovers();
                bool copy = std::any_of(left.begin(), left.end(), [](const std::string& name) {
                    std::string bytes = Read(name);
                    return bytes.size() > BIG_NEW.size() && bytes.compare(0, BIG_NEW.size(), BIG_NEW) == 0;
                });
                bool whole = photo == BIG_OLD || photo == BIG_NEW;
                Check(whole || (IsMix(photo, BIG_OLD, BIG_NEW) && copy), trace + "neither whole nor mixed beside a copy");
                if (!whole && row.twoNames && !row.repair && mixedAt == 0) {
                    mixedAt = kill;
                }
                // By hand: another photo, or, beside a copy, one byte of this one at its end.
                std::string hand = copy ? photo.substr(0, photo.size() - 1) + "!" : "\xFF\xD8 by hand";
                if (byHand) {
                    Write("photo.jpg", hand);
                }
                s_log.clear();
                WalkPath(s_folder.c_str(), [](const char* path) { return ConvertFile(path, 0), 1; });
                Check(Read("photo.jpg") == (byHand ? hand : BIG_NEW), trace + "not as it should be: " + s_log);
                Check((s_log.find("Repaired after an interruption: ") != std::string::npos) == (!whole && !byHand),
                      trace + "the repair's line: " + s_log);
                for (const std::string& name : Leftovers()) {  // only what the run reported as kept
                    Check(s_log.find("Kept from an interrupted rewrite: " + s_folder + name) != std::string::npos &&
                              (byHand || Read(name) == BIG_OLD),
                          trace + name + " left: " + s_log);
                }
                Check(!byHand || Leftovers() == left, trace + "a leftover went after the change by hand");
            }
        }
        printf("%s: %d steps\n", row.name, steps);
        Check(steps > 5, std::string("kill: ") + row.name + ": too few steps");
    }
}

//----------------------------------------------------------------------------
// A listing that fails before its end fails the walk, after what it listed.
static std::string s_walked;

static void ListingRow(const char* folder)
{
    s_folder = std::string(folder) + "\\listing\\";
    CreateDirectoryA(s_folder.c_str(), nullptr);
    Write("a.jpg", "x");
    PlatSetFault(PLAT_FAULT_FIND_NEXT, 3);  // ".", "..", a.jpg, then where the listing would end
    int result = WalkPath(s_folder.c_str(), [](const char* path) { return s_walked += path, 1; });
    PlatSetFault(PLAT_FAULT_FIND_NEXT, 0);
    Check(result == WALK_INVALID && s_walked == s_folder + "a.jpg", "a listing that fails midway: " + s_walked);
}

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "kill") == 0) {
        s_folder = std::string(argv[4]) + "\\";
        return KilledChild(atoi(argv[2]), atoi(argv[3]));
    }
    if (argc != 2) {
        printf("usage: marlovex-winplatform-test FOLDER\n");
        return 2;
    }
    g_reportStream = tmpfile();  // the rows' failures are reported on purpose
    CommitRows(argv[1]);
    KillRows(argv[1]);
    ListingRow(argv[1]);
    ConversionRows();
    ConsoleRows();
    printf("%s\n", s_failed ? "some rows failed" : "all rows passed");
    return s_failed;
}
