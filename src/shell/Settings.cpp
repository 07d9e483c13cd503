// Settings.cpp - the dialog's normal rectangle and the "Remove all APP
// headers" check box, kept in a profile file between runs.
#include <windows.h>

#include "platform/Ui.h"
#include "shell/SettingsValue.h"
#include "shell/Shell.h"

static_assert(sizeof(WINDOWPLACEMENT) == 44, "the placement structure is 44 bytes");

// A value of at most 15 characters, converted like atol.
static LONG ReadSetting(const char* fileName, const char* section, const char* key, const char* fallback)
{
    char value[16];
    GetPrivateProfileStringA(section, key, fallback, value, sizeof(value), fileName);
    return (LONG)SettingToLong(value);
}

//----------------------------------------------------------------------------
// LoadSettings - applies the stored rectangle as the dialog's normal
// (restored) rectangle, leaving it hidden for its first showing, and sets
// the check box from ALLAPP (checked only for exactly 1).
void LoadSettings(HWND dialog, const char* fileName, const char* section)
{
    WINDOWPLACEMENT placement;
    ZeroMemory(&placement, sizeof(placement));
    placement.length = sizeof(placement);
    placement.rcNormalPosition.top = ReadSetting(fileName, section, "TOP", "0");
    placement.rcNormalPosition.left = ReadSetting(fileName, section, "LEFT", "0");
    placement.rcNormalPosition.right = ReadSetting(fileName, section, "RIGHT", "600");
    placement.rcNormalPosition.bottom = ReadSetting(fileName, section, "BOTTOM", "400");
    placement.showCmd = SW_HIDE;
    SetWindowPlacement(dialog, &placement);

    LONG allApp = ReadSetting(fileName, section, "ALLAPP", "0");
    CheckDlgButton(dialog, IDC_ALLAPP, allApp == 1 ? BST_CHECKED : BST_UNCHECKED);
}

//----------------------------------------------------------------------------
// SaveSettings - writes the normal rectangle (so a dialog closed maximised
// or minimised reopens at its restored place) and the check box; the check
// box is written even when the placement cannot be had.
void SaveSettings(HWND dialog, const char* fileName, const char* section)
{
    WINDOWPLACEMENT placement;
    ZeroMemory(&placement, sizeof(placement));
    placement.length = sizeof(placement);
    if (GetWindowPlacement(dialog, &placement)) {
        const RECT& normal = placement.rcNormalPosition;
        const LONG values[4] = {normal.top, normal.left, normal.right, normal.bottom};
        const char* const keys[4] = {"TOP", "LEFT", "RIGHT", "BOTTOM"};
        for (int i = 0; i < 4; i++) {
            char text[16];
            wsprintfA(text, "%d", (int)values[i]);
            WritePrivateProfileStringA(section, keys[i], text, fileName);
        }
    }
    WritePrivateProfileStringA(section, "ALLAPP", IsDlgButtonChecked(dialog, IDC_ALLAPP) == BST_CHECKED ? "1" : "0",
                               fileName);
}
