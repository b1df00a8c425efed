// The session owners, read on a thread of their own within a time limit, so
// that an audio system that does not answer cannot hang the lister with it.
#pragma once

#include <windows.h>

#include <cstdio>
#include <vector>

#include "windows/lister/audio_sessions.h"
#include "windows/tool/platform/result.h"

// How the reading ended.
enum class ReadingEnd {
    kRead,        // owners holds what was read
    kFailed,      // the reading, or starting its thread, failed: result says why
    kNoAnswer,    // the time ran out; the thread may still be inside the audio system
    kWaitFailed,  // the wait itself failed (result: its last error); the thread may still run
};

struct ReadingOutcome {
    ReadingEnd end = ReadingEnd::kFailed;
    ResultCode result = E_FAIL;
    std::vector<SessionOwner> owners;
};

// The reading (ReadSessionOwners, which needs the component runtime: the
// thread initialises it) and the wait for it (WaitForSingleObject): seams for
// the tests.
using ReadOwners = ResultCode (*)(std::vector<SessionOwner>& owners);
using WaitForThread = DWORD(WINAPI*)(HANDLE thread, DWORD milliseconds);

// Reads the owners on a new thread and waits at most `milliseconds` for it.
// Unless the outcome is kRead or kFailed, the thread is left running, with
// memory of its own that it may still write: the caller must then end the
// process without running library unload code (EndWhileReading).
ReadingOutcome ReadSessionOwnersWithin(DWORD milliseconds, ReadOwners read = &ReadSessionOwners,
                                       WaitForThread wait = &WaitForSingleObject);

// The one line a failed reading prints on `err` (none for kRead), with its
// line end; the bound of kNoAnswer is given in seconds.
void PrintReadingFailure(std::FILE* err, const ReadingOutcome& outcome, unsigned long seconds);

// Ends the process with `status` while a thread may still be stuck inside the
// audio system: flushes the standard streams, then TerminateProcess. ExitProcess
// would first end that thread wherever it is and then run every library's
// unload code, which can deadlock on a lock the ended thread held (the
// ExitProcess documentation's warning).
[[noreturn]] void EndWhileReading(int status);
