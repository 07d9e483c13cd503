// SettingsValue.cpp - reading a settings value as the C runtime's atol does.
#include "shell/SettingsValue.h"

int32_t SettingToLong(const char* text)
{
    const char* at = text;
    while (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r' || *at == '\f' || *at == '\v') {
        at++;
    }
    int negative = 0;
    if (*at == '+' || *at == '-') {
        negative = *at == '-';
        at++;
    }
    // Accumulated in 64 bits and held at the range's ends, so that no
    // length of digits can overflow.
    int64_t value = 0;
    for (; *at >= '0' && *at <= '9'; at++) {
        value = value * 10 + (*at - '0');
        if (value > (int64_t)INT32_MAX + 1) {
            value = (int64_t)INT32_MAX + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return (int32_t)value;
}
