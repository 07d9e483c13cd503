// WinPlatformTest.cpp - the Windows platform layer's own rows: the boundary
// conversions (platform/WinText.h) and the commit of a rewrite, table by
// table; a Windows program, run under Wine by the end-to-end suite with a
// folder of its own as its argument. Prints each failing row and exits 1
// when any failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/Platform.h"
#include "platform/WinText.h"
#include "support/Track.h"

static int s_failed;

static void Check(int ok, const char* table, const char* row)
{
    if (!ok) {
        printf("FAILED %s: %s\n", table, row);
        s_failed = 1;
    }
}

// A path inside the tool -> the form the wide calls get (null: refused).
struct SystemRow {
    const char* path;
    const wchar_t* system;
};
static const SystemRow SYSTEM_ROWS[] = {
    {"C:\\photos\\a.jpg", L"\\\\?\\C:\\photos\\a.jpg"},
    {"C:/photos/a.jpg", L"\\\\?\\C:\\photos\\a.jpg"},
    {"\\\\server\\share\\a.jpg", L"\\\\?\\UNC\\server\\share\\a.jpg"},
    {"//server/share/a.jpg", L"\\\\?\\UNC\\server\\share\\a.jpg"},
    {"\\\\?\\C:\\x\\..\\y", L"\\\\?\\C:\\x\\..\\y"},
    {"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
    {"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
    {"relative\\a.jpg", L"relative\\a.jpg"},
    {"C:\\..\xC2\xA5outside\\\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\xBC", L"\\\\?\\C:\\..\x00A5outside\\\xFF0E\xFF0E\xFF3C"},
    {"C:\\\xE6\x9D\xB1\\\xF0\x9F\x98\x80.jpg", L"\\\\?\\C:\\\x6771\\\xD83D\xDE00.jpg"},
    {"C:\\bad\xC3(", nullptr},                  // a lead byte without its continuation
    {"C:\\\xC0\xAF..\\x", nullptr},              // an overlong '/'
    {"C:\\\xED\xA0\x80.jpg", nullptr},           // a surrogate in UTF-8
};

// A dropped or named path -> its form in the drop list (the current folder
// is C:\windows).
struct FullRow {
    const wchar_t* path;
    const char* full;
};
static const FullRow FULL_ROWS[] = {
    {L"C:\\photos\\.\\a\\..\\b", "C:\\photos\\b"},
    {L"C:/photos/b/", "C:\\photos\\b\\"},
    {L"rel/x.jpg", "C:\\windows\\rel\\x.jpg"},
    {L"\\\\server\\share\\x\\..\\y", "\\\\server\\share\\y"},
    {L"\\\\?\\C:\\photos\\..\\b.", "C:\\photos\\..\\b."},
    {L"\\\\?\\UNC\\server\\share\\x", "\\\\server\\share\\x"},
    {L"C:\\a\\..\x00A5outside", "C:\\a\\..\xC2\xA5outside"},
};

//----------------------------------------------------------------------------
// The commit. Each row writes photo.jpg ("old photo"), reads it as the file
// in hand, writes "cleaned" to its temporary file and commits, with a fault
// or a race between the read and the commit.

static std::string s_folder;  // UTF-8, with its separator

static std::string Read(const std::string& name)
{
    wchar_t* wide = WinSystemPath((s_folder + name).c_str());
    HANDLE file = CreateFileW(wide, GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    WinFree(wide);
    if (file == INVALID_HANDLE_VALUE) {
        return "<none>";
    }
    char buffer[256];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof(buffer), &got, nullptr);
    CloseHandle(file);
    return std::string(buffer, got);
}

static void Write(const std::string& name, const char* text)
{
    wchar_t* wide = WinSystemPath((s_folder + name).c_str());
    HANDLE file = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    WinFree(wide);
    DWORD put;
    WriteFile(file, text, (DWORD)strlen(text), &put, nullptr);
    CloseHandle(file);
}

// The names in the folder, sorted by the system, joined by spaces.
static std::string Names()
{
    wchar_t* pattern = WinSystemPath((s_folder + "*").c_str());
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern, &data);
    WinFree(pattern);
    std::string names;
    while (find != INVALID_HANDLE_VALUE) {
        char* name = WinNarrow(data.cFileName, nullptr);
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
            names += (names.empty() ? "" : " ") + std::string(strncmp(name, "~marlovex", 9) == 0 ? "~temp" : name);
        }
        WinFree(name);
        if (!FindNextFileW(find, &data)) {
            FindClose(find);
            break;
        }
    }
    return names;
}

static std::string s_hookSaw;  // what a hook's editor or scanner met

// An editor saves the photo in place (same size) meanwhile: it must be
// refused, not overwritten later with the old photo's cleaned content.
static void ResaveInPlace()
{
    wchar_t* wide = WinSystemPath((s_folder + "photo.jpg").c_str());
    HANDLE file = CreateFileW(wide, GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    WinFree(wide);
    s_hookSaw = file == INVALID_HANDLE_VALUE ? "refused" : "admitted";
    if (file != INVALID_HANDLE_VALUE) {
        DWORD put;
        WriteFile(file, "new photo", 9, &put, nullptr);
        CloseHandle(file);
    }
}

// An editor saves by renaming the photo to a backup and writing a new one.
static void SaveByRename()
{
    wchar_t* from = WinSystemPath((s_folder + "photo.jpg").c_str());
    wchar_t* to = WinSystemPath((s_folder + "backup.jpg").c_str());
    s_hookSaw = MoveFileW(from, to) ? "renamed" : "refused";
    WinFree(from);
    WinFree(to);
    Write("photo.jpg", "new photo");
}

// A scanner opens the photo for a moment, without letting it be renamed.
static HANDLE s_scanner;
static DWORD WINAPI EndScan(LPVOID)
{
    Sleep(300);
    CloseHandle(s_scanner);
    return 0;
}

static void ScanForAMoment()
{
    wchar_t* wide = WinSystemPath((s_folder + "photo.jpg").c_str());
    s_scanner = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    WinFree(wide);
    s_hookSaw = s_scanner == INVALID_HANDLE_VALUE ? "refused" : "scanning";
    CloseHandle(CreateThread(nullptr, 0, EndScan, nullptr, 0, nullptr));
}

struct CommitRow {
    const char* name;
    const char* secondName;  // a hard link made first, or null
    PlatRaceHook hook;
    int faultKind, faultNth;
    int committed;
    const char* photo;      // photo.jpg afterwards
    const char* names;      // the folder afterwards
    const char* hookSaw;    // what the hook met, or null
};
static const CommitRow COMMIT_ROWS[] = {
    {"one name", nullptr, nullptr, 0, 0, 1, "cleaned", "photo.jpg", nullptr},
    {"two names: both cleaned", "second.jpg", nullptr, 0, 0, 1, "cleaned", "photo.jpg second.jpg", nullptr},
    {"an editor's same-size save is refused", nullptr, ResaveInPlace, 0, 0, 1, "cleaned", "photo.jpg", "refused"},
    {"a save by rename is not overwritten", nullptr, SaveByRename, 0, 0, 0, "new photo", "backup.jpg photo.jpg",
     "renamed"},
    {"a scanner holds the photo for a moment", nullptr, ScanForAMoment, 0, 0, 1, "cleaned", "photo.jpg", "scanning"},
    {"the temporary file's flush fails", nullptr, nullptr, PLAT_FAULT_FLUSH, 1, 0, "old photo", "photo.jpg", nullptr},
    {"the temporary file's flush fails, two names", "second.jpg", nullptr, PLAT_FAULT_FLUSH, 1, 0, "old photo",
     "photo.jpg second.jpg", nullptr},
    {"the replacement fails", nullptr, nullptr, PLAT_FAULT_REPLACE, 1, 0, "old photo", "photo.jpg", nullptr},
    {"the photo's flush fails after the replacement", nullptr, nullptr, PLAT_FAULT_FLUSH, 2, 0, "cleaned",
     "photo.jpg", nullptr},
    {"the photo's flush fails in place: the flushed copy stays", "second.jpg", nullptr, PLAT_FAULT_FLUSH, 2, 0,
     "cleaned", "photo.jpg second.jpg ~temp", nullptr},
};

static void CommitRows(const char* folder)
{
    for (const CommitRow& row : COMMIT_ROWS) {
        s_folder = std::string(folder) + "\\" + std::to_string(&row - COMMIT_ROWS) + "\\";
        wchar_t* wide = WinSystemPath(s_folder.c_str());
        CreateDirectoryW(wide, nullptr);
        WinFree(wide);
        Write("photo.jpg", "old photo");
        if (row.secondName != nullptr) {
            wchar_t* link = WinSystemPath((s_folder + row.secondName).c_str());
            wchar_t* target = WinSystemPath((s_folder + "photo.jpg").c_str());
            CreateHardLinkW(link, target, nullptr);
            WinFree(link);
            WinFree(target);
        }
        s_hookSaw = "";
        PlatFile file;
        PlatReplace replace;
        unsigned char* buffer = nullptr;
        int committed = -1;
        if (PlatLoadWholeFile((s_folder + "photo.jpg").c_str(), &file, &buffer) == 9 &&
            PlatReplaceBegin(&file, &replace) && PlatReplaceWrite(&replace, "cleaned", 7)) {
            PlatSetRaceHook(row.hook);
            PlatSetFault(row.faultKind, row.faultNth);
            committed = PlatReplaceCommit(&replace, &file);
            PlatSetFault(row.faultKind, 0);
            PlatSetRaceHook(nullptr);
        }
        PlatCloseFile(&file);
        TrackedFree(buffer);
        Check(committed == row.committed, "commit: result", row.name);
        Check(Read("photo.jpg") == row.photo, "commit: the photo", row.name);
        Check(row.secondName == nullptr || Read(row.secondName) == row.photo, "commit: its second name", row.name);
        Check(Names() == row.names, "commit: the folder", (std::string(row.name) + ": " + Names()).c_str());
        Check(row.hookSaw == nullptr || s_hookSaw == row.hookSaw, "commit: the other program",
              (std::string(row.name) + ": " + s_hookSaw).c_str());
    }
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        printf("usage: marlovex-winplatform-test FOLDER\n");
        return 2;
    }
    CommitRows(argv[1]);
    for (const SystemRow& row : SYSTEM_ROWS) {
        wchar_t* got = WinSystemPath(row.path);
        Check(row.system ? got != nullptr && wcscmp(got, row.system) == 0 : got == nullptr, "system path", row.path);
        WinFree(got);
    }
    // Past MAX_PATH the path stays whole.
    char longPath[1100] = "C:\\";
    for (int i = 0; i < 100; i++) {
        strcat(longPath, "folder 10\\");
    }
    wchar_t* got = WinSystemPath(longPath);
    Check(got != nullptr && wcslen(got) == strlen(longPath) + 4, "system path", "1,003 characters");
    WinFree(got);

    SetCurrentDirectoryW(L"C:\\windows");
    for (const FullRow& row : FULL_ROWS) {
        char* full = WinFullPath(row.path);
        Check(full != nullptr && strcmp(full, row.full) == 0, "full path", row.full);
        WinFree(full);
    }

    // UTF-16 -> UTF-8: a pair of surrogates is one character; one alone
    // becomes U+FFFD and the text is marked inexact.
    const wchar_t pair[] = {L'a', 0xD83D, 0xDE00, 0};
    const wchar_t alone[] = {L'a', 0xD800, L'b', 0};
    int exact = -1;
    char* text = WinNarrow(pair, &exact);
    Check(text && strcmp(text, "a\xF0\x9F\x98\x80") == 0 && exact == 1, "narrow", "a surrogate pair");
    WinFree(text);
    text = WinNarrow(alone, &exact);
    Check(text && strcmp(text, "a\xEF\xBF\xBD" "b") == 0 && exact == 0, "narrow", "an unpaired surrogate");
    WinFree(text);
    char small[5];  // one short of the terminator
    Check(!WinNarrowInto(pair, small, sizeof(small), nullptr) && small[0] == '\0', "narrow", "too small a buffer");
    char fits[6];
    Check(WinNarrowInto(pair, fits, sizeof(fits), nullptr) && strcmp(fits, "a\xF0\x9F\x98\x80") == 0, "narrow",
          "a buffer just large enough");
    printf("%s\n", s_failed ? "some rows failed" : "all rows passed");
    return s_failed;
}
