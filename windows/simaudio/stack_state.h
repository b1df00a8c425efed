// Process-wide state of the simulated stack: the scenario, the per-call
// counters that fault injection counts against, and the live-object count.
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
