// SettingsValue.h - reading a settings value as the C runtime's atol does.
#pragma once

#include <cstdint>

// SettingToLong - leading white space skipped, an optional sign, then the
// digits up to the first other character; no digits gives 0. A value beyond
// the signed 32-bit range becomes its nearest end.
int32_t SettingToLong(const char* text);
