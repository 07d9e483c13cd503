// WinText.cpp - UTF-8 and UTF-16 at the Windows boundary.
#include "platform/WinText.h"

#include <cstring>
#include <cwchar>

static void* HeapBlock(size_t size)
{
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void WinFree(void* block)
{
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

wchar_t* WinWiden(const char* text)
{
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) {
        return nullptr;
    }
    wchar_t* wide = (wchar_t*)HeapBlock((size_t)units * sizeof(wchar_t));
    if (wide != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, units) != units) {
        WinFree(wide);
        wide = nullptr;
    }
    return wide;
}

// The conversion proper, terminator included: exact where the text is
// valid UTF-16, else with U+FFFD for each unpaired surrogate (what the call
// does without the flag). The size in bytes; 0 when it failed or did not
// fit.
static int Narrow(const wchar_t* text, char* buffer, int capacity, int* exact)
{
    int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, buffer, capacity, nullptr, nullptr);
    int inexact = bytes == 0 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION;
    if (inexact) {
        bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, capacity, nullptr, nullptr);
    }
    if (exact != nullptr) {
        *exact = !inexact;
    }
    return bytes;
}

char* WinNarrow(const wchar_t* text, int* exact)
{
    int size = Narrow(text, nullptr, 0, exact);
    char* utf8 = size > 0 ? (char*)HeapBlock((size_t)size) : nullptr;
    if (utf8 != nullptr && Narrow(text, utf8, size, nullptr) != size) {
        WinFree(utf8);
        utf8 = nullptr;
    }
    return utf8;
}

int WinNarrowInto(const wchar_t* text, char* buffer, int capacity, int* exact)
{
    if (Narrow(text, buffer, capacity, exact) > 0) {
        return 1;
    }
    if (capacity > 0) {
        buffer[0] = '\0';
    }
    return 0;
}

//----------------------------------------------------------------------------
// Path forms.

static int IsLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

// "\\?\" (long form) or "\\.\" (device): the system takes these as they are.
static int HasSystemPrefix(const wchar_t* path)
{
    return path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\';
}

wchar_t* WinSystemPath(const char* path)
{
    wchar_t* wide = WinWiden(path);
    if (wide == nullptr) {
        return nullptr;
    }
    for (wchar_t* at = wide; *at; at++) {
        if (*at == L'/') {
            *at = L'\\';
        }
    }
    const wchar_t* prefix = nullptr;
    const wchar_t* rest = wide;
    if (HasSystemPrefix(wide)) {
        return wide;
    } else if (wide[0] == L'\\' && wide[1] == L'\\' && wide[2] != L'\0') {
        prefix = L"\\\\?\\UNC\\";
        rest = wide + 2;  // "\\server\share" becomes "\\?\UNC\server\share"
    } else if (IsLetter(wide[0]) && wide[1] == L':' && wide[2] == L'\\') {
        prefix = L"\\\\?\\";
    } else {
        return wide;  // relative: the system resolves it, within its usual limits
    }
    size_t prefixLength = wcslen(prefix);
    size_t restLength = wcslen(rest);
    wchar_t* longForm = (wchar_t*)HeapBlock((prefixLength + restLength + 1) * sizeof(wchar_t));
    if (longForm != nullptr) {
        wmemcpy(longForm, prefix, prefixLength);
        wmemcpy(longForm + prefixLength, rest, restLength + 1);
    }
    WinFree(wide);
    return longForm;
}

// The user's form of a long-form path: "\\?\UNC\server\..." as
// "\\server\...", "\\?\C:\..." as "C:\...". `*skip` is the number of
// units to leave out, `*unc` whether "\\" goes in front of the rest.
static void UserForm(const wchar_t* path, size_t* skip, int* unc)
{
    *skip = 0;
    *unc = 0;
    if (path[0] != L'\\' || path[1] != L'\\' || path[2] != L'?' || path[3] != L'\\') {
        return;
    }
    if ((path[4] == L'U' || path[4] == L'u') && (path[5] == L'N' || path[5] == L'n') &&
        (path[6] == L'C' || path[6] == L'c') && path[7] == L'\\') {
        *skip = 8;
        *unc = 1;
    } else if (IsLetter(path[4]) && path[5] == L':') {
        *skip = 4;
    }
}

char* WinFullPath(const wchar_t* path)
{
    wchar_t* full = nullptr;
    size_t skip;
    int unc;
    UserForm(path, &skip, &unc);
    if (skip == 0 && !HasSystemPrefix(path)) {
        DWORD units = GetFullPathNameW(path, 0, nullptr, nullptr);
        full = units > 0 ? (wchar_t*)HeapBlock((size_t)units * sizeof(wchar_t)) : nullptr;
        if (full == nullptr) {
            return nullptr;
        }
        DWORD got = GetFullPathNameW(path, units, full, nullptr);
        if (got == 0 || got >= units) {
            WinFree(full);
            return nullptr;
        }
        path = full;
    }
    // "\\" in front of a UNC path's server, then the rest after the prefix.
    char* rest = WinNarrow(path + skip, nullptr);
    char* utf8 = nullptr;
    if (rest != nullptr) {
        size_t length = strlen(rest);
        utf8 = (char*)HeapBlock(length + (unc ? 3 : 1));
        if (utf8 != nullptr) {
            char* at = utf8;
            if (unc) {
                *at++ = '\\';
                *at++ = '\\';
            }
            memcpy(at, rest, length + 1);
        }
    }
    WinFree(rest);
    WinFree(full);
    return utf8;
}
