// Reading the command line: target process and mode.
#pragma once

#include <windows.h>

#include "windows/tool/platform/audio_compat.h"

// Signed decimal with the runtime's wide conversion (leading white space, an
// optional sign, digits up to the first other character, clamped to the
// 32-bit signed range), taken as the unsigned process identifier.
DWORD ParseProcessId(const wchar_t* text);

// "include" in any mix of ASCII case selects include; any other text, exclude.
PROCESS_LOOPBACK_MODE ParseLoopbackMode(const wchar_t* text);
