// Tests of the settings value conversion (atol-like, held to 32 bits).
#include <gtest/gtest.h>

#include "shell/SettingsValue.h"

struct ValueCase {
    const char* text;
    int32_t expected;
};

TEST(SettingToLong, Table)
{
    const ValueCase cases[] = {
        {"0", 0},
        {"600", 600},
        {"  42", 42},
        {"\t\r\n 9", 9},
        {"-7", -7},
        {"+5", 5},
        {"007", 7},
        {"12abc", 12},
        {"1 2", 1},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"- 5", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"999999999999999", 2147483647},  // the longest a 16-byte read can give
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
        {"-99999999999999999999999999", -2147483647 - 1},
    };
    for (const ValueCase& c : cases) {
        EXPECT_EQ(SettingToLong(c.text), c.expected) << '"' << c.text << '"';
    }
}
