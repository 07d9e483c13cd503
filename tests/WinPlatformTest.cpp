// WinTextTest.cpp - the Windows boundary conversions (platform/WinText.h),
// table by table; a Windows program, run under Wine by the end-to-end suite.
// Prints each failing row and exits 1 when any failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/WinText.h"

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

int main()
{
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
