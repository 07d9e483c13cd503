// Layout.cpp - where the dialog's controls go, for a client area and a DPI.
#include "shell/Layout.h"

#include <cstdint>

int ScaleToDpi(int value, int dpi)
{
    if (dpi < 1) {
        dpi = LAYOUT_BASE_DPI;
    }
    int64_t scaled = (int64_t)value * dpi;
    int64_t half = LAYOUT_BASE_DPI / 2;
    return (int)(scaled >= 0 ? (scaled + half) / LAYOUT_BASE_DPI : -((-scaled + half) / LAYOUT_BASE_DPI));
}

void LayOutDialog(int width, int height, int dpi, LayoutPlace places[LAYOUT_COUNT])
{
    // At 96 DPI: START at (10, 5), 50 x 20; STOP at (70, 5); the check box
    // at (130, 5), 185 x 20; the log from (10, 30) to 10 from the right and
    // 5 from the bottom.
    const int margin = ScaleToDpi(10, dpi);
    const int top = ScaleToDpi(5, dpi);
    const int row = ScaleToDpi(20, dpi);
    places[LAYOUT_START] = {margin, top, ScaleToDpi(50, dpi), row};
    places[LAYOUT_STOP] = {ScaleToDpi(70, dpi), top, ScaleToDpi(50, dpi), row};
    places[LAYOUT_ALLAPP] = {ScaleToDpi(130, dpi), top, ScaleToDpi(185, dpi), row};
    const int logTop = ScaleToDpi(30, dpi);
    places[LAYOUT_LOG] = {margin, logTop, width - 2 * margin, height - logTop - top};
}
