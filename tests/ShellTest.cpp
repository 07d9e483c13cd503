// The window program's parts that need no window: the settings value, the
// layout at every DPI, the paths given from outside.
#include <gtest/gtest.h>

#include <cstdint>

#include <string>
#include <vector>

#include "shell/Layout.h"
#include "shell/PathList.h"
#include "shell/SettingsValue.h"

TEST(SettingToLong, Table)
{
    const struct {
        const char* text;
        int32_t expected;
    } cases[] = {{"0", 0},     {"600", 600},  {"  42", 42}, {"\t\r\n 9", 9}, {"-7", -7},    {"+5", 5},
                 {"007", 7},   {"12abc", 12}, {"1 2", 1},   {"abc", 0},     {"", 0},       {"-", 0},
                 {"- 5", 0},   {"2147483647", INT32_MAX},   {"2147483648", INT32_MAX},     {"-2147483648", INT32_MIN},
                 {"999999999999999", INT32_MAX},            {"-2147483649", INT32_MIN},
                 {"-99999999999999999999999999", INT32_MIN}};
    for (const auto& c : cases) {
        EXPECT_EQ(SettingToLong(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(LayOutDialog, Table)
{
    const struct {
        int width, height, dpi;
        LayoutPlace places[LAYOUT_COUNT];  // START, STOP, the check box, the log
    } cases[] = {
        // A window of 600 x 400 at 96 DPI, and minimised (0 x 0): today's places.
        {590, 362, 96, {{10, 5, 50, 20}, {70, 5, 50, 20}, {130, 5, 185, 20}, {10, 30, 570, 327}}},
        {0, 0, 96, {{10, 5, 50, 20}, {70, 5, 50, 20}, {130, 5, 185, 20}, {10, 30, -20, -35}}},
        {590, 362, 0, {{10, 5, 50, 20}, {70, 5, 50, 20}, {130, 5, 185, 20}, {10, 30, 570, 327}}},
        // 125 %: halves go up (12.5, 62.5, 87.5, 162.5, 37.5).
        {740, 450, 120, {{13, 6, 63, 25}, {88, 6, 63, 25}, {163, 6, 231, 25}, {13, 38, 714, 406}}},
        {890, 562, 144, {{15, 8, 75, 30}, {105, 8, 75, 30}, {195, 8, 278, 30}, {15, 45, 860, 509}}},
        {1180, 724, 192, {{20, 10, 100, 40}, {140, 10, 100, 40}, {260, 10, 370, 40}, {20, 60, 1140, 654}}},
    };
    for (const auto& c : cases) {
        LayoutPlace places[LAYOUT_COUNT];
        LayOutDialog(c.width, c.height, c.dpi, places);
        for (int i = 0; i < LAYOUT_COUNT; i++) {
            const LayoutPlace& p = places[i];
            const LayoutPlace& e = c.places[i];
            EXPECT_EQ((std::vector<int>{p.x, p.y, p.width, p.height}), (std::vector<int>{e.x, e.y, e.width, e.height}))
                << c.dpi << " DPI, control " << i;
        }
    }
    EXPECT_EQ(ScaleToDpi(LAYOUT_DEFAULT_RIGHT, 144), 900);
    EXPECT_EQ(ScaleToDpi(-3, 144), -5);  // halves away from zero, as MulDiv
}

// A command line as Explorer and a shortcut write it: each quoted argument
// that ends in a backslash closes at its quote; nothing else changes.
TEST(MendRootQuotes, Table)
{
    const struct {
        const wchar_t *line, *mended;
    } cases[] = {
        {LR"(m.exe "D:\" "C:\photos")", LR"(m.exe "D:\\" "C:\photos")"},
        {LR"("C:\x y\m.exe" "D:\")", LR"("C:\x y\m.exe" "D:\\")"},
        {L"m.exe \"C:\\a b\\\"\tx", L"m.exe \"C:\\a b\\\\\"\tx"},  // a tab ends it too
        {LR"(m.exe "a\\\" b)", LR"(m.exe "a\\\\" b)"},               // three backslashes: four
        {LR"(m.exe "a\\" b)", LR"(m.exe "a\\" b)"},                   // two: the quote closes already
        {LR"(m.exe a\" b)", LR"(m.exe a\" b)"},                         // not quoted: as it is
        {LR"(m.exe "a\"b" c)", LR"(m.exe "a\"b" c)"},                   // a quote inside: as it is
        {LR"(m.exe C:\photos -x "")", LR"(m.exe C:\photos -x "")"},
        {LR"("C:\m\" x)", LR"("C:\m\" x)"},                            // the program's name is plain
        {L"", L""},
    };
    for (const auto& c : cases) {
        std::vector<wchar_t> out(2 * wcslen(c.line) + 1);
        size_t units = MendRootQuotes(c.line, out.data());
        EXPECT_EQ(std::wstring(out.data()), std::wstring(c.mended)) << (const void*)c.line;
        EXPECT_EQ(units, wcslen(c.mended));
    }
}

// A path list from another process is checked before anything is copied.
TEST(PathListUnits, Table)
{
    auto units = [](std::vector<uint16_t> block, size_t bytes) { return PathListUnits(block.data(), bytes); };
    const std::vector<uint16_t> two = {'C', ':', '\\', 'a', 0, 0x10C, 0xFFFF, 0, 0};
    EXPECT_EQ(units(two, 18), 9u);
    EXPECT_EQ(units({'a', 0, 0}, 6), 3u);
    EXPECT_EQ(units(two, 17), 0u);                      // an odd size
    EXPECT_EQ(units(two, 16), 0u);                      // no final NUL
    EXPECT_EQ(units({'a', 'b', 'c'}, 6), 0u);           // no NUL at all
    EXPECT_EQ(units({'a', 0, 0, 'b', 0, 0}, 12), 0u);   // a NUL pair before the end: an empty path
    EXPECT_EQ(units({0, 'a', 0, 0}, 8), 0u);            // an empty first path
    EXPECT_EQ(units({0, 0}, 4), 0u);                    // no path
    EXPECT_EQ(units({0}, 2), 0u);
    EXPECT_EQ(units({}, 0), 0u);
    EXPECT_EQ(PathListUnits(nullptr, 6), 0u);
    for (size_t bytes : {PATH_LIST_MAX_BYTES, PATH_LIST_MAX_BYTES + 2}) {  // at the bound: taken; past it: too large
        std::vector<uint16_t> large(bytes / 2, 'x');
        large[large.size() - 2] = large[large.size() - 1] = 0;
        EXPECT_EQ(units(large, bytes), bytes > PATH_LIST_MAX_BYTES ? 0 : bytes / 2);
    }
}
