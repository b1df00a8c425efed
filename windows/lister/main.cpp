// Entry point of Harkwell-list.exe: lists the processes that hold an audio
// output session now, with the root pid to pass to Harkwell's include mode.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <memory>

#include "common/answer_bound.h"
#include "common/exit_status.h"
#include "common/messages.h"
#include "windows/lister/audio_sessions.h"
#include "windows/lister/listing.h"
#include "windows/lister/process_table.h"
#include "windows/tool/platform/result.h"
#include "windows/tool/platform/unique_handle.h"

namespace {

// The session owners, read on a thread of their own so that the wait for
// them can end.
struct SessionReading {
    ResultCode result = E_FAIL;
    std::vector<SessionOwner> owners;
};

DWORD WINAPI ReadSessions(void* parameter) {
    SessionReading& reading = *static_cast<SessionReading*>(parameter);
    reading.result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (IsFailure(reading.result)) return 0;
    reading.result = ReadSessionOwners(reading.owners);
    CoUninitialize();
    return 0;
}

void PrintUnreachable(ResultCode result) {
    fwprintf(stderr, L"" HARKWELL_UNREACHABLE_FORMAT L"\n", static_cast<unsigned>(result));
}

// Reads the session owners within the time limit; prints why not and returns
// false when that fails.
bool ReadSessionsInTime(std::vector<SessionOwner>& owners) {
    auto reading = std::make_unique<SessionReading>();
    const UniqueHandle thread(CreateThread(nullptr, 0, &ReadSessions, reading.get(), 0, nullptr));
    if (!thread) {
        PrintUnreachable(FailureFromLastError());
        return false;
    }
    if (WaitForSingleObject(thread.Get(), kAnswerSeconds * 1000) != WAIT_OBJECT_0) {
        // The thread may still write its reading; it goes with the process.
        static_cast<void>(reading.release());
        fwprintf(stderr, L"" HARKWELL_NO_ANSWER_FORMAT L"\n",
                 static_cast<unsigned long>(kAnswerSeconds));
        return false;
    }
    if (IsFailure(reading->result)) {
        PrintUnreachable(reading->result);
        return false;
    }
    owners = std::move(reading->owners);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool json = argc == 2 && std::wcscmp(argv[1], L"--json") == 0;
    if (argc > 2 || (argc == 2 && !json)) {
        fwprintf(stderr, L"" HARKWELL_LIST_USAGE_LINE("Harkwell-list.exe"));
        return kExitUsage;
    }

    std::vector<SessionOwner> owners;
    if (!ReadSessionsInTime(owners)) return kExitFailed;
    // Read after the sessions, so that every owner still running is in it.
    ProcessTable processes;
    const ResultCode tableRead = ReadProcessTable(processes);
    if (IsFailure(tableRead)) {
        fwprintf(stderr, L"cannot read the process table: 0x%08x\n",
                 static_cast<unsigned>(tableRead));
        return kExitFailed;
    }

    if (!WriteListing(stdout, BuildListing(owners, processes), json, ListingColumns::kName)) {
        fwprintf(stderr, L"" HARKWELL_LIST_NOT_WRITTEN L"\n");
        return kExitFailed;
    }
    return kExitListed;
}
