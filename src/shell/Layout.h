// Layout.h - where the dialog's controls go, for a client area and a DPI.
// Plain arithmetic, so that it is tested on every platform.
#pragma once

// The controls laid out, in this order.
enum LayoutControl { LAYOUT_START, LAYOUT_STOP, LAYOUT_ALLAPP, LAYOUT_LOG, LAYOUT_COUNT };

struct LayoutPlace {
    int x, y, width, height;
};

// The DPI at which the places are the pixels written in the code.
constexpr int LAYOUT_BASE_DPI = 96;

// ScaleToDpi - `value` pixels at 96 DPI, at `dpi`, rounded to the nearest
// pixel (halves away from zero). A DPI below 1 is taken for 96.
int ScaleToDpi(int value, int dpi);

// LayOutDialog - START, STOP and the check box at fixed places scaled by the
// DPI over 96; the log takes the rest of a client area of `width` x
// `height`, less its scaled margins. A minimised dialog (0 x 0) gets the
// same arithmetic, which leaves the log's size negative, as at 96 DPI.
void LayOutDialog(int width, int height, int dpi, LayoutPlace places[LAYOUT_COUNT]);

// The dialog's rectangle when there are no settings: (0, 0)-(600, 400) at
// 96 DPI, scaled.
constexpr int LAYOUT_DEFAULT_RIGHT = 600;
constexpr int LAYOUT_DEFAULT_BOTTOM = 400;
