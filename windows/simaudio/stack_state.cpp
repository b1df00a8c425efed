#include "windows/simaudio/stack_state.h"

#include <string>

#include "windows/simaudio/record.h"

namespace {

Scenario ReadScenario() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(L"SIMAUDIO_SCENARIO", path, MAX_PATH * 2);
    if (length == 0) return Scenario{};

    Scenario failed;
    failed.errorText = "cannot read " + Utf8(path);
    if (length >= MAX_PATH * 2) return failed;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0) {
        text.append(buffer, read);
    }
    CloseHandle(file);
    return ParseScenario(text);
}

Scenario LoadAndReport() {
    Scenario scenario = ReadScenario();
    if (!scenario.Valid()) {
        Record("ScenarioError line=" + std::to_string(scenario.errorLine) +
               " text=" + scenario.errorText);
    }
    return scenario;
}

// Changed by every object's constructor and destructor.
std::atomic<long> liveObjects{0};

// Incremented by whichever thread makes the call.
std::atomic<UINT32> callCounts[static_cast<size_t>(Call::Count)];

// Read once, by whichever thread first asks; freed when the DLL unloads. A
// function-local static would use the C++ runtime's guard (see SrwLock).
INIT_ONCE scenarioOnce = INIT_ONCE_STATIC_INIT;
Scenario* loadedScenario = nullptr;

// Shared by stalling calls, taken by the unload code at process exit.
SRWLOCK stallLock = SRWLOCK_INIT;

BOOL CALLBACK LoadOnce(INIT_ONCE*, void*, void**) {
    loadedScenario = new Scenario(LoadAndReport());
    return TRUE;
}

}  // namespace

const Scenario& LoadedScenario() {
    InitOnceExecuteOnce(&scenarioOnce, &LoadOnce, nullptr, nullptr);
    return *loadedScenario;
}

void FreeScenario() {
    delete loadedScenario;
    loadedScenario = nullptr;
}

std::optional<HRESULT> CountCall(Call call) {
    const UINT32 nth = ++callCounts[static_cast<size_t>(call)];
    return LoadedScenario().InjectedInto(call, nth);
}

HRESULT WithInjected(HRESULT normal, const std::optional<HRESULT>& injected) {
    if (FAILED(normal) || !injected.has_value()) return normal;
    return *injected;
}

std::atomic<long>& LiveObjects() {
    return liveObjects;
}

StallGuard::StallGuard() {
    AcquireSRWLockShared(&stallLock);
}

StallGuard::~StallGuard() {
    ReleaseSRWLockShared(&stallLock);
}

void WaitForStalledCalls() {
    AcquireSRWLockExclusive(&stallLock);
    ReleaseSRWLockExclusive(&stallLock);
}
