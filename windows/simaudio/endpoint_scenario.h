// Audio endpoints and their sessions, as a scenario scripts them:
//
//   endpoint <render|capture> <active|disabled|notpresent|unplugged> [stall=<ms>]
//   session <pid> <active|inactive|expired> [system]
//
// A session line belongs to the endpoint line above it; `system` marks the
// system-sounds session. `stall` makes the endpoint's Activate take that long
// before it answers, like an audio service that has stopped responding.
#pragma once

#include <windows.h>
#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include <string>
#include <vector>

struct SimulatedSession {
    DWORD pid = 0;
    AudioSessionState state = AudioSessionStateInactive;
    bool systemSounds = false;
};

struct SimulatedEndpoint {
    EDataFlow flow = eRender;
    DWORD state = DEVICE_STATE_ACTIVE;
    DWORD stallMilliseconds = 0;
    std::vector<SimulatedSession> sessions;
};

// True for the words this file's lines start with.
bool IsEndpointWord(const std::string& word);
// Applies one `endpoint` or `session` line; false when it is not understood.
bool ParseEndpointLine(const std::vector<std::string>& tokens,
                       std::vector<SimulatedEndpoint>& endpoints);
