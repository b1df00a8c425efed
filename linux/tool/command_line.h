// Reading the Linux tool's command line, by the rules both tools share.
#pragma once

#include <cstdint>

#include "linux/tool/tree_mode.h"

// The process identifier as the Windows runtime reads it (see
// ProcessIdFromNumber); long is 64 bits here, so the 32-bit clamp matters.
uint32_t ParseProcessId(const char* text);

// "include" in any mix of ASCII case selects include; any other text, exclude.
TreeMode ParseTreeMode(const char* text);
