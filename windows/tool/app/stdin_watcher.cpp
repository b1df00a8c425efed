#include "windows/tool/app/stdin_watcher.h"

#include <cstring>
#include <thread>

#include "windows/tool/platform/unique_handle.h"

namespace {

constexpr char kTextModeEndOfFile = 0x1A;

bool ReachedEnd(HANDLE input, bool endsAtControlZ, char* buffer, DWORD size) {
    DWORD bytesRead = 0;
    if (!ReadFile(input, buffer, size, &bytesRead, nullptr) || bytesRead == 0) return true;
    return endsAtControlZ && std::memchr(buffer, kTextModeEndOfFile, bytesRead) != nullptr;
}

}  // namespace

void WatchInput(HANDLE input, HANDLE stopEvent) {
    // The standard input is read through its handle, not the C runtime's
    // stream: a runtime that locks streams while flushing them at exit would
    // otherwise wait on this thread's blocked read, and the process would not
    // end until the caller closed the input.
    const bool endsAtControlZ = GetFileType(input) != FILE_TYPE_CHAR;
    char buffer[64];
    while (!ReachedEnd(input, endsAtControlZ, buffer, sizeof buffer)) {
    }
    if (stopEvent != nullptr) SetEvent(stopEvent);
}

ResultCode StartStdinWatcher(HANDLE stopEvent) {
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), stopEvent, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return FailureFromLastError();
    }
    // The thread owns the duplicate; it is closed when the thread ends, or
    // with the process.
    UniqueHandle owned(duplicate);
    std::thread([stopEvent = std::move(owned)] {
        WatchInput(GetStdHandle(STD_INPUT_HANDLE), stopEvent.Get());
    }).detach();
    return S_OK;
}
