// WinPlatformTest.cpp - the Windows platform layer's own rows: the boundary
// conversions (platform/WinText.h) and the commit of a rewrite. A Windows
// program, run under Wine by the end-to-end suite with a folder of its own
// (ASCII) as its argument; prints each failing row, exits 1 when any failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Platform.h"
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
// is C:\windows).
static const struct {
    const wchar_t* path;
    const char* full;
} FULL_ROWS[] = {
    {L"C:\\photos\\.\\a\\..\\b", "C:\\photos\\b"},
    {L"C:/photos/b/", "C:\\photos\\b\\"},
    {L"rel/x.jpg", "C:\\windows\\rel\\x.jpg"},
    {L"\\\\server\\share\\x\\..\\y", "\\\\server\\share\\y"},
    {L"\\\\?\\C:\\photos\\..\\b.", "C:\\photos\\..\\b."},
    {L"\\\\?\\UNC\\server\\share\\x", "\\\\server\\share\\x"},
    {L"C:\\a\\..\x00A5outside", "C:\\a\\..\xC2\xA5outside"},
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
        Check(full && strcmp(full, row.full) == 0, std::string("full path ") + row.full);
        WinFree(full);
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
}

//----------------------------------------------------------------------------
// The commit. Each row writes photo.jpg ("old photo"), reads it as the file
// in hand, writes "cleaned" to its temporary file and commits, with a fault
// or another program acting between the read and the commit.

static std::string s_folder;  // with its separator
static std::string s_saw;     // what the other program met
static HANDLE s_scanner;

static DWORD WINAPI EndScan(LPVOID)
{
    Sleep(300);
    return CloseHandle(s_scanner);
}

static std::string Read(const char* name)
{
    std::ifstream file(s_folder + name, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return file ? content.str() : "<none>";
}

// The names in the folder, as the system sorts them; a temporary one as "~temp".
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

static const struct {
    const char* name;
    bool twoNames;  // a hard link second.jpg made first
    PlatRaceHook hook;
    int faultKind, faultNth, committed;
    const char *photo, *names, *saw;  // photo.jpg, the folder and what the hook met afterwards
} COMMIT_ROWS[] = {
    {"one name", false, nullptr, 0, 0, 1, "cleaned", "photo.jpg", ""},
    {"two names: both cleaned", true, nullptr, 0, 0, 1, "cleaned", "photo.jpg second.jpg", ""},
    // An editor saves the photo in place (the same size): it must be refused,
    // not overwritten later with the old photo's cleaned content.
    {"an editor's same-size save is refused", false, [] {
         HANDLE file = CreateFileA((s_folder + "photo.jpg").c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
         s_saw = file == INVALID_HANDLE_VALUE ? "refused" : "admitted";
         DWORD put;
         WriteFile(file, "new photo", 9, &put, nullptr);
         CloseHandle(file);
     }, 0, 0, 1, "cleaned", "photo.jpg", "refused"},
    // An editor saves by renaming the photo to a backup and writing a new one.
    {"a save by rename is not overwritten", false, [] {
         s_saw = MoveFileA((s_folder + "photo.jpg").c_str(), (s_folder + "backup.jpg").c_str()) ? "renamed" : "refused";
         std::ofstream(s_folder + "photo.jpg", std::ios::binary) << "new photo";
     }, 0, 0, 0, "new photo", "backup.jpg photo.jpg", "renamed"},
    // A scanner opens the photo for a moment, not letting it be renamed.
    {"a scanner holds the photo for a moment", false, [] {
         s_scanner = CreateFileA((s_folder + "photo.jpg").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
         s_saw = s_scanner == INVALID_HANDLE_VALUE ? "refused" : "scanning";
         CloseHandle(CreateThread(nullptr, 0, EndScan, nullptr, 0, nullptr));
     }, 0, 0, 1, "cleaned", "photo.jpg", "scanning"},
    {"the temporary file's flush fails", false, nullptr, PLAT_FAULT_FLUSH, 1, 0, "old photo", "photo.jpg", ""},
    {"the temporary file's flush fails, two names", true, nullptr, PLAT_FAULT_FLUSH, 1, 0, "old photo",
     "photo.jpg second.jpg", ""},
    {"the replacement fails", false, nullptr, PLAT_FAULT_REPLACE, 1, 0, "old photo", "photo.jpg", ""},
    {"the photo's flush fails after the replacement", false, nullptr, PLAT_FAULT_FLUSH, 2, 0, "cleaned", "photo.jpg",
     ""},
    {"the photo's flush fails in place: the flushed copy stays", true, nullptr, PLAT_FAULT_FLUSH, 2, 0, "cleaned",
     "photo.jpg second.jpg ~temp", ""},
};

static void CommitRows(const char* folder)
{
    for (const auto& row : COMMIT_ROWS) {
        s_folder = std::string(folder) + "\\" + std::to_string(&row - COMMIT_ROWS) + "\\";
        CreateDirectoryA(s_folder.c_str(), nullptr);
        std::ofstream(s_folder + "photo.jpg", std::ios::binary) << "old photo";
        if (row.twoNames) {
            CreateHardLinkA((s_folder + "second.jpg").c_str(), (s_folder + "photo.jpg").c_str(), nullptr);
        }
        s_saw = "";
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
        std::string got = std::to_string(committed) + " " + Read("photo.jpg") + " | " +
                          (row.twoNames ? Read("second.jpg") : row.photo) + " | " + Names() + " | " + s_saw;
        std::string want = std::to_string(row.committed) + " " + row.photo + " | " + row.photo + " | " + row.names +
                           " | " + row.saw;
        Check(got == want, std::string("commit: ") + row.name + ": " + got);
    }
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        printf("usage: marlovex-winplatform-test FOLDER\n");
        return 2;
    }
    CommitRows(argv[1]);
    ConversionRows();
    printf("%s\n", s_failed ? "some rows failed" : "all rows passed");
    return s_failed;
}
