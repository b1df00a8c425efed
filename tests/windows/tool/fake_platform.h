// Test doubles for the two platform calls the capture object makes besides
// the audio stack: event creation and the free-threaded marshaler.
#pragma once

#include <windows.h>

namespace fake_platform {

enum class MarshalerMode { Real, CreationFails, NoIMarshal };

// Makes the nth event creation from now on (1-based) fail with lastError;
// 0 turns failures off.
void FailEventCreation(int nth, DWORD lastError);
void SetMarshalerMode(MarshalerMode mode);
int EventsCreated();
void Reset();

}  // namespace fake_platform
