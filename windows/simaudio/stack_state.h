// Process-wide state of the simulated stack: the scenario, the per-call
// counters that fault injection counts against, the live-object count and the
// lock that the unload code shares with calls that stall.
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>

#include "windows/simaudio/scenario.h"

// The scenario of SIMAUDIO_SCENARIO, read on first use. A rejected file is
// recorded once and leaves Valid() false.
const Scenario& LoadedScenario();
// At unload, once no object is left to use it.
void FreeScenario();

// Counts one call of `call` and returns the code the scenario injects into it.
std::optional<HRESULT> CountCall(Call call);

// What a call returns: an injected success code replaces a normal success;
// failures (injected ones never get this far) are kept.
HRESULT WithInjected(HRESULT normal, const std::optional<HRESULT>& injected);

inline bool InjectedFailure(const std::optional<HRESULT>& injected) {
    return injected.has_value() && FAILED(*injected);
}

// Runs one call a scenario can inject into: an injected failure replaces it
// entirely; otherwise `body` runs and an injected code replaces its success.
template <typename Body>
HRESULT Injectable(Call call, Body&& body) {
    const std::optional<HRESULT> injected = CountCall(call);
    if (InjectedFailure(injected)) return *injected;
    return WithInjected(body(), injected);
}

// Objects created and not yet destroyed; changed by every object's
// constructor and destructor on whichever thread runs them.
std::atomic<long>& LiveObjects();

// Held, shared, by a call for as long as it stalls (an endpoint scripted with
// `stall=`). The stack's unload code at process exit takes the lock for
// itself: it waits for the calls in progress, as a library's unload code may
// wait for its work in flight. ExitProcess ends every other thread before it
// runs the unload code, so a thread ended while stalling never gives the lock
// back and the exit hangs for good: the deadlock the platform's ExitProcess
// documentation warns of. TerminateProcess runs no unload code and is not
// held up. (The real audio stack's unload code is not documented; this is
// the simulation's model of the risk, see README.md.)
class StallGuard {
public:
    StallGuard();
    ~StallGuard();
    StallGuard(const StallGuard&) = delete;
    StallGuard& operator=(const StallGuard&) = delete;
};

// Called by the unload code at process exit; returns once no call stalls.
void WaitForStalledCalls();
