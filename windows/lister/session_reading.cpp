#include "windows/lister/session_reading.h"

#include <objbase.h>

#include <cwchar>
#include <memory>
#include <utility>

#include "common/messages.h"
#include "windows/tool/platform/unique_handle.h"

namespace {

// Shared by the waiting thread and the reading thread; the reading thread
// writes it until it ends.
struct Reading {
    ReadOwners read = nullptr;
    ResultCode result = E_FAIL;
    std::vector<SessionOwner> owners;
};

DWORD WINAPI ReadOnThread(void* parameter) {
    Reading& reading = *static_cast<Reading*>(parameter);
    reading.result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (IsFailure(reading.result)) return 0;
    reading.result = reading.read(reading.owners);
    CoUninitialize();
    return 0;
}

}  // namespace

ReadingOutcome ReadSessionOwnersWithin(DWORD milliseconds, ReadOwners read, WaitForThread wait) {
    ReadingOutcome outcome;
    auto reading = std::make_unique<Reading>();
    reading->read = read;
    const UniqueHandle thread(CreateThread(nullptr, 0, &ReadOnThread, reading.get(), 0, nullptr));
    if (!thread) {
        outcome.result = FailureFromLastError();
        return outcome;
    }
    const DWORD waited = wait(thread.Get(), milliseconds);
    if (waited != WAIT_OBJECT_0) {
        outcome.end = waited == WAIT_TIMEOUT ? ReadingEnd::kNoAnswer : ReadingEnd::kWaitFailed;
        outcome.result = waited == WAIT_TIMEOUT ? S_OK : FailureFromLastError();
        // The thread may still write its reading: it goes with the process.
        static_cast<void>(reading.release());
        return outcome;
    }
    outcome.result = reading->result;
    if (IsFailure(outcome.result)) return outcome;
    outcome.end = ReadingEnd::kRead;
    outcome.owners = std::move(reading->owners);
    return outcome;
}

void PrintReadingFailure(std::FILE* err, const ReadingOutcome& outcome, unsigned long seconds) {
    switch (outcome.end) {
    case ReadingEnd::kRead:
        break;
    case ReadingEnd::kFailed:
        std::fwprintf(err, L"" HARKWELL_UNREACHABLE_FORMAT L"\n",
                      static_cast<unsigned>(outcome.result));
        break;
    case ReadingEnd::kNoAnswer:
        std::fwprintf(err, L"" HARKWELL_NO_ANSWER_FORMAT L"\n", seconds);
        break;
    case ReadingEnd::kWaitFailed:
        std::fwprintf(err, L"" HARKWELL_WAIT_FAILED_FORMAT L"\n",
                      static_cast<unsigned>(outcome.result));
        break;
    }
}

void EndWhileReading(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    // Terminating the calling process does not return; should it fail, the
    // ordinary exit is the only way left.
    ExitProcess(static_cast<UINT>(status));
}
