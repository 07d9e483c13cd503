// Settings.cpp - the dialog's normal rectangle and the "Remove all APP
// headers" check box, kept in a profile file between runs.
#include <windows.h>

#include "platform/WinText.h"
#include "resource.h"
#include "shell/Layout.h"
#include "shell/SettingsValue.h"
#include "shell/Shell.h"

static_assert(sizeof(WINDOWPLACEMENT) == 44, "the placement structure is 44 bytes");

// A value of at most 15 characters, converted like atol (from its UTF-8
// form: a character that is not ASCII ends the digits as any other does).
static LONG ReadSetting(const wchar_t* fileName, const wchar_t* section, const wchar_t* key, const wchar_t* fallback)
{
    wchar_t value[16];
    char text[16 * 3];
    GetPrivateProfileStringW(section, key, fallback, value, 16, fileName);
    return WinNarrowInto(value, text, (int)sizeof(text), nullptr) ? (LONG)SettingToLong(text) : 0;
}

//----------------------------------------------------------------------------
// LoadSettings - applies the stored rectangle as the dialog's normal
// (restored) rectangle, leaving it hidden for its first showing, and sets
// the check box from ALLAPP (checked only for exactly 1). The rectangle is
// in the screen's own pixels; without one it is (0, 0)-(600, 400) scaled by
// the dialog's DPI over 96.
void LoadSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section)
{
    int dpi = WindowDpi(dialog);
    wchar_t right[16], bottom[16];
    wsprintfW(right, L"%d", ScaleToDpi(LAYOUT_DEFAULT_RIGHT, dpi));
    wsprintfW(bottom, L"%d", ScaleToDpi(LAYOUT_DEFAULT_BOTTOM, dpi));
    WINDOWPLACEMENT placement;
    ZeroMemory(&placement, sizeof(placement));
    placement.length = sizeof(placement);
    placement.rcNormalPosition.top = ReadSetting(fileName, section, L"TOP", L"0");
    placement.rcNormalPosition.left = ReadSetting(fileName, section, L"LEFT", L"0");
    placement.rcNormalPosition.right = ReadSetting(fileName, section, L"RIGHT", right);
    placement.rcNormalPosition.bottom = ReadSetting(fileName, section, L"BOTTOM", bottom);
    placement.showCmd = SW_HIDE;
    SetWindowPlacement(dialog, &placement);

    LONG allApp = ReadSetting(fileName, section, L"ALLAPP", L"0");
    CheckDlgButton(dialog, IDC_ALLAPP, allApp == 1 ? BST_CHECKED : BST_UNCHECKED);
}

//----------------------------------------------------------------------------
// SaveSettings - writes the normal rectangle (so a dialog closed maximised
// or minimised reopens at its restored place) and the check box; the check
// box is written even when the placement cannot be had.
void SaveSettings(HWND dialog, const wchar_t* fileName, const wchar_t* section)
{
    WINDOWPLACEMENT placement;
    ZeroMemory(&placement, sizeof(placement));
    placement.length = sizeof(placement);
    if (GetWindowPlacement(dialog, &placement)) {
        const RECT& normal = placement.rcNormalPosition;
        const LONG values[4] = {normal.top, normal.left, normal.right, normal.bottom};
        const wchar_t* const keys[4] = {L"TOP", L"LEFT", L"RIGHT", L"BOTTOM"};
        for (int i = 0; i < 4; i++) {
            wchar_t text[16];
            wsprintfW(text, L"%d", (int)values[i]);
            WritePrivateProfileStringW(section, keys[i], text, fileName);
        }
    }
    WritePrivateProfileStringW(section, L"ALLAPP",
                               IsDlgButtonChecked(dialog, IDC_ALLAPP) == BST_CHECKED ? L"1" : L"0", fileName);
}
