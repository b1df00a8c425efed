#include "windows/simaudio/record.h"

#include <cstdio>

namespace {

// Written by OpenRecord and CloseRecord (loader thread); every writer holds
// recordLock while using it.
HANDLE recordFile = INVALID_HANDLE_VALUE;
SRWLOCK recordLock = SRWLOCK_INIT;

void WriteLine(const std::string& line) {
    if (recordFile == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(recordFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

void OpenRecord() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(L"SIMAUDIO_RECORD", path, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) return;
    AcquireSRWLockExclusive(&recordLock);
    recordFile =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ReleaseSRWLockExclusive(&recordLock);
}

void CloseRecord(const std::string& lastLine, bool processEnding) {
    if (!processEnding) AcquireSRWLockExclusive(&recordLock);
    WriteLine(lastLine);
    if (recordFile != INVALID_HANDLE_VALUE) CloseHandle(recordFile);
    recordFile = INVALID_HANDLE_VALUE;
    if (!processEnding) ReleaseSRWLockExclusive(&recordLock);
}

void Record(const std::string& line) {
    AcquireSRWLockExclusive(&recordLock);
    WriteLine(line);
    ReleaseSRWLockExclusive(&recordLock);
}

std::string Code(HRESULT code) {
    return Hex32(static_cast<DWORD>(code));
}

std::string Hex32(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

std::string GuidText(REFGUID guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string HexBytes(const void* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const BYTE* byte = static_cast<const BYTE*>(bytes);
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[byte[i] >> 4];
        text += digits[byte[i] & 0xF];
    }
    return text;
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

const char* SetOrNull(const void* pointer) {
    return pointer != nullptr ? "set" : "null";
}
