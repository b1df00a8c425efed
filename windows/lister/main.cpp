// Entry point of Harkwell-list.exe: lists the processes that hold an audio
// output session now, with the root pid to pass to Harkwell's include mode.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/answer_bound.h"
#include "common/exit_status.h"
#include "common/messages.h"
#include "windows/lister/listing.h"
#include "windows/lister/listing_output.h"
#include "windows/lister/process_table.h"
#include "windows/lister/session_reading.h"

int wmain(int argc, wchar_t** argv) {
    const bool json = argc == 2 && std::wcscmp(argv[1], L"--json") == 0;
    if (argc > 2 || (argc == 2 && !json)) {
        fwprintf(stderr, L"" HARKWELL_LIST_USAGE_LINE("Harkwell-list.exe"));
        return kExitUsage;
    }

    const ReadingOutcome reading = ReadSessionOwnersWithin(kAnswerSeconds * 1000);
    if (reading.end != ReadingEnd::kRead) {
        PrintReadingFailure(stderr, reading, kAnswerSeconds);
        // A thread that has not come back may be stuck inside the audio
        // system: the process must not run library unload code behind it.
        if (reading.end != ReadingEnd::kFailed) EndWhileReading(kExitFailed);
        return kExitFailed;
    }
    // Read after the sessions, so that every owner still running is in it.
    ProcessTable processes;
    const ResultCode tableRead = ReadProcessTable(processes);
    if (IsFailure(tableRead)) {
        fwprintf(stderr, L"" HARKWELL_PROCESS_TABLE_FORMAT L"\n", static_cast<unsigned>(tableRead));
        return kExitFailed;
    }

    if (!WriteListingTo(stdout, BuildListing(reading.owners, processes), json)) {
        fwprintf(stderr, L"" HARKWELL_LIST_NOT_WRITTEN L"\n");
        return kExitFailed;
    }
    return kExitListed;
}
