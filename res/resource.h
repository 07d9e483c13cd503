// resource.h - the numbers of the dialogs, icon, accelerators and controls,
// shared by marlovex.rc and the shell.
#pragma once

#define IDD_MAIN_EN 101  // English main dialog
#define IDI_MAIN 102     // icon group: 256 (PNG), 48, 32, 24 and 16 pixels, 32 bits per pixel
#define IDR_ACCEL 104    // accelerator table
#define IDD_MAIN_JA 999  // Japanese main dialog

// Controls of both dialogs.
#define IDC_LOG 1001
#define IDC_START 1002
#define IDC_STOP 1003
#define IDC_ALLAPP 1004

// Accelerator commands; only ID_CLOSE (Ctrl+Q) does anything.
#define ID_SELECT_ALL 4008
#define ID_OPEN 40001
#define ID_SAVE 40002
#define ID_CLOSE 40003
