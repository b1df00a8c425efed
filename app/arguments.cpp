#include "app/arguments.h"

#include <cwchar>

DWORD ParseProcessId(const wchar_t* text) {
    // long is 32 bits on Windows, so out-of-range values clamp to its limits.
    return static_cast<DWORD>(std::wcstol(text, nullptr, 10));
}

PROCESS_LOOPBACK_MODE ParseLoopbackMode(const wchar_t* text) {
    static const wchar_t kInclude[] = L"include";
    for (size_t i = 0;; ++i) {
        wchar_t c = text[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kInclude[i]) return PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
        if (c == L'\0') return PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    }
}
