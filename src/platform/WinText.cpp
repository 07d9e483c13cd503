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

static wchar_t* Widen(const char* text, DWORD flags)
{
    int units = MultiByteToWideChar(CP_UTF8, flags, text, -1, nullptr, 0);
    if (units <= 0) {
        return nullptr;
    }
    wchar_t* wide = (wchar_t*)HeapBlock((size_t)units * sizeof(wchar_t));
    if (wide != nullptr && MultiByteToWideChar(CP_UTF8, flags, text, -1, wide, units) != units) {
        WinFree(wide);
        wide = nullptr;
    }
    return wide;
}

wchar_t* WinWiden(const char* text)
{
    return Widen(text, MB_ERR_INVALID_CHARS);
}

wchar_t* WinWidenLossy(const char* text)
{
    return Widen(text, 0);
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
    // With no room the system would only say how much is needed.
    if (capacity > 0 && Narrow(text, buffer, capacity, exact) > 0) {
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

// A path made full by the tool itself, not by GetFullPathNameW, which
// would take the trailing dots and spaces off its names ("trip." would
// become "trip", another folder) and turn a reserved name ("aux",
// "COM1.jpg") into a device. Only the base a relative path needs comes
// from the system.
struct Building {
    wchar_t* units;
    size_t length, capacity;
    size_t root;  // units that ".." never goes above: "C:\" or "\\server\share\"
};

static int Append(Building* path, const wchar_t* units, size_t count)
{
    if (path->length + count + 1 > path->capacity) {
        size_t capacity = (path->length + count + 1) * 2;
        wchar_t* grown = (wchar_t*)HeapBlock(capacity * sizeof(wchar_t));
        if (grown == nullptr) {
            return 0;
        }
        wmemcpy(grown, path->units, path->length);
        WinFree(path->units);
        path->units = grown;
        path->capacity = capacity;
    }
    wmemcpy(path->units + path->length, units, count);
    path->length += count;
    path->units[path->length] = L'\0';
    return 1;
}

// Appends the segments of `rest` ('\' between them): "." is left out, ".."
// takes the last segment off, every other name is kept exactly.
static int AppendSegments(Building* path, const wchar_t* rest)
{
    while (*rest != L'\0') {
        size_t length = wcscspn(rest, L"\\");
        if (length == 2 && rest[0] == L'.' && rest[1] == L'.') {
            while (path->length > path->root && path->units[path->length - 1] == L'\\') {
                path->length--;
            }
            while (path->length > path->root && path->units[path->length - 1] != L'\\') {
                path->length--;
            }
            path->units[path->length] = L'\0';
        } else if (length > 0 && !(length == 1 && rest[0] == L'.')) {
            if (path->length > 0 && path->units[path->length - 1] != L'\\' && !Append(path, L"\\", 1)) {
                return 0;
            }
            if (!Append(path, rest, length)) {
                return 0;
            }
        }
        rest += length;
        if (*rest == L'\\') {
            rest++;
            if (*rest == L'\0' && path->length > 0 && path->units[path->length - 1] != L'\\' &&
                !Append(path, L"\\", 1)) {
                return 0;  // a trailing separator stays
            }
        }
    }
    return 1;
}

// The base that a relative path starts from: the current folder, or the
// current folder of drive `drive` ("C:" alone is that folder, which a
// drive-relative path is taken from).
static int AppendBase(Building* path, const wchar_t* drive)
{
    DWORD units = drive ? GetFullPathNameW(drive, 0, nullptr, nullptr) : GetCurrentDirectoryW(0, nullptr);
    wchar_t* base = units > 0 ? (wchar_t*)HeapBlock((size_t)units * sizeof(wchar_t)) : nullptr;
    DWORD got = 0;
    if (base != nullptr) {
        got = drive ? GetFullPathNameW(drive, units, base, nullptr) : GetCurrentDirectoryW(units, base);
    }
    // A folder's path, so without a separator at its end (but for a root).
    while (got > 3 && base[got - 1] == L'\\') {
        got--;
    }
    int ok = got > 0 && got < units && Append(path, base, got);
    WinFree(base);
    return ok;
}

// The length of "X:\" or "\\server\share\" at the start of a full path,
// the units ".." never goes above; 0 when it has neither.
static size_t RootLength(const wchar_t* path)
{
    if (IsLetter(path[0]) && path[1] == L':' && path[2] == L'\\') {
        return 3;
    }
    if (path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t* share = wcschr(path + 2, L'\\');
        const wchar_t* end = share ? wcschr(share + 1, L'\\') : nullptr;
        return end ? (size_t)(end - path) + 1 : share ? wcslen(path) : 0;
    }
    return 0;
}

// Whether a name of the full path `path` past its root holds a ':', which
// names one of a file's alternate streams.
static int NamesStream(const wchar_t* path)
{
    return wcschr(path + RootLength(path), L':') != nullptr;
}

static int StartsWith(const wchar_t* text, const wchar_t* start)
{
    size_t length = wcslen(start);
    return _wcsnicmp(text, start, length) == 0;
}

// The path made full, in the user's form, '/' read as '\': null when it is
// not an item that can be dropped.
static wchar_t* FullWide(const wchar_t* given)
{
    Building path = {nullptr, 0, 0, 0};
    wchar_t* copy = (wchar_t*)HeapBlock((wcslen(given) + 1) * sizeof(wchar_t));
    if (copy == nullptr) {
        return nullptr;
    }
    wcscpy(copy, given);
    for (wchar_t* at = copy; *at; at++) {
        *at = *at == L'/' ? L'\\' : *at;
    }
    const wchar_t* rest = copy;
    int ok = 1;
    if (StartsWith(rest, L"\\\\?\\")) {
        // The long form asks for no normalisation: taken as it stands, a
        // drive path or a UNC path in the user's form, a volume as it is.
        rest += 4;
        if (StartsWith(rest, L"UNC\\")) {
            ok = Append(&path, L"\\\\", 2) && Append(&path, rest + 4, wcslen(rest + 4));
        } else if (IsLetter(rest[0]) && rest[1] == L':' && rest[2] == L'\\') {
            ok = Append(&path, rest, wcslen(rest));
        } else if (StartsWith(rest, L"Volume{") && wcschr(rest, L'}') != nullptr) {
            ok = Append(&path, copy, wcslen(copy));
        } else {
            ok = 0;  // a drive-relative path, a device: nothing a folder or a photo can be
        }
        rest = L"";
    } else if (StartsWith(rest, L"\\\\.\\")) {
        // A device path: only a drive's, taken as the same path without it.
        rest += 4;
        ok = IsLetter(rest[0]) && rest[1] == L':' && rest[2] == L'\\';
    }
    if (ok && *rest != L'\0') {
        if (rest[0] == L'\\' && rest[1] == L'\\' && RootLength(rest) == 0) {
            ok = 0;  // a server without a share
        } else if (RootLength(rest) > 0) {
            path.root = RootLength(rest);
            ok = Append(&path, rest, path.root);
            rest += path.root;
        } else if (IsLetter(rest[0]) && rest[1] == L':') {
            wchar_t drive[3] = {rest[0], L':', L'\0'};
            ok = AppendBase(&path, drive);
            rest += 2;
        } else if (rest[0] == L'\\') {
            ok = AppendBase(&path, nullptr) && RootLength(path.units) > 0;  // the current folder's root
            if (ok) {
                path.length = RootLength(path.units);
                path.units[path.length] = L'\0';
            }
            rest++;
        } else {
            ok = AppendBase(&path, nullptr);
        }
        path.root = ok ? RootLength(path.units) : 0;
        ok = ok && path.root > 0 && AppendSegments(&path, rest);
    }
    WinFree(copy);
    if (!ok || path.units == nullptr || NamesStream(path.units)) {
        WinFree(path.units);
        return nullptr;
    }
    return path.units;
}

char* WinFullPath(const wchar_t* path)
{
    wchar_t* full = FullWide(path);
    int exact = 0;
    char* utf8 = full ? WinNarrow(full, &exact) : nullptr;
    WinFree(full);
    if (utf8 != nullptr && !exact) {
        WinFree(utf8);  // a lone surrogate: the item would name another path
        utf8 = nullptr;
    }
    return utf8;
}

int WinIsRoot(const char* path)
{
    size_t length = strlen(path);
    if (length == 3 && ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z')) &&
        path[1] == ':' && (path[2] == '\\' || path[2] == '/')) {
        return 1;
    }
    const char* close = strncmp(path, "\\\\?\\Volume{", 11) == 0 ? strchr(path, '}') : nullptr;
    return close != nullptr && (close[1] == '\\' || close[1] == '/') && close[2] == '\0';
}

int WinWriteInPieces(const wchar_t* text, size_t units, WinWriter write, void* context)
{
    while (units > 0) {
        DWORD piece = units > WIN_WRITE_PIECE ? WIN_WRITE_PIECE : (DWORD)units;
        if (piece < units && IS_HIGH_SURROGATE(text[piece - 1])) {
            piece--;  // the pair goes out together in the next piece
        }
        DWORD written = 0;
        if (!write(context, text, piece, &written) || written == 0 || written > piece) {
            return 0;
        }
        text += written;
        units -= written;
    }
    return 1;
}
