// Kernel events as the whole tool uses them.
#pragma once

#include <windows.h>

// Auto-reset, initially not set, unnamed, full access (EVENT_ALL_ACCESS,
// 0x1F0003). Returns null on failure with the thread's last error set.
HANDLE CreateStreamEvent();
