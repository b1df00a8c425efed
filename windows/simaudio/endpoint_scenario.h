// Audio endpoints and their sessions, as a scenario scripts them:
//
//   endpoint <render|capture> <active|disabled|notpresent|unplugged> [stall=<ms>]
//   session <pid> <active|inactive|expired> [system] [shared]
//
// A session line belongs to the endpoint line above it. `system` marks the
// system-sounds session: IsSystemSoundsSession answers S_OK, whatever its
// pid (the platform's reports pid 0; a scenario may give it a live one).
// `shared` marks a session that spans several processes: GetProcessId
// answers AUDCLNT_S_NO_SINGLE_PROCESS with the pid of the process that
// created it, as documented. `stall` makes the endpoint's Activate take that
// long before it answers, like an audio service that has stopped
// responding; while it stalls, the call holds the stack's unload lock (see
// StallGuard in stack_state.h), so a program that then exits through
// ExitProcess hangs in the stack's unload code.
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
    bool shared = false;
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
