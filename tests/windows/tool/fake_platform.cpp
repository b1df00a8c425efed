#include "tests/windows/tool/fake_platform.h"

#include "windows/tool/platform/events.h"
#include "windows/tool/platform/marshaler.h"
#include "tests/windows/tool/fake_audio.h"

namespace fake_platform {
namespace {

int eventCalls = 0;
int eventFailureAt = 0;
DWORD eventFailureError = 0;
MarshalerMode marshalerMode = MarshalerMode::Real;

}  // namespace

void FailEventCreation(int nth, DWORD lastError) {
    eventCalls = 0;
    eventFailureAt = nth;
    eventFailureError = lastError;
}

void SetMarshalerMode(MarshalerMode mode) {
    marshalerMode = mode;
}

int EventsCreated() {
    return eventCalls;
}

void Reset() {
    FailEventCreation(0, 0);
    marshalerMode = MarshalerMode::Real;
}

}  // namespace fake_platform

HANDLE CreateStreamEvent() {
    using namespace fake_platform;
    if (++eventCalls == eventFailureAt) {
        SetLastError(eventFailureError);
        return nullptr;
    }
    return CreateEventExW(nullptr, nullptr, 0, EVENT_ALL_ACCESS);
}

HRESULT CreateFreeThreadedMarshaler(IUnknown** marshaler) {
    using namespace fake_platform;
    *marshaler = nullptr;
    switch (marshalerMode) {
    case MarshalerMode::CreationFails:
        return E_OUTOFMEMORY;
    case MarshalerMode::NoIMarshal:
        // An object that answers IUnknown only.
        *marshaler = new FakeUnknown();
        return S_OK;
    case MarshalerMode::Real:
        break;
    }
    return CoCreateFreeThreadedMarshaler(nullptr, marshaler);
}
