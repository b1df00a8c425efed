#include "windows/tool/app/arguments.h"

#include <cwchar>

#include "common/argument_rules.h"

DWORD ParseProcessId(const wchar_t* text) {
    return ProcessIdFromNumber(std::wcstol(text, nullptr, 10));
}

PROCESS_LOOPBACK_MODE ParseLoopbackMode(const wchar_t* text) {
    return IsIncludeWord(text) ? PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE
                               : PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
}
