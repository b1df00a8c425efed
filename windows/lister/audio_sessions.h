// Who holds an audio output session now: every session of every active
// render endpoint, through the device enumerator and each endpoint's session
// manager. The component runtime must be initialised on the calling thread.
#pragma once

#include <windows.h>

#include <vector>

#include "windows/tool/platform/result.h"

struct SessionOwner {
    DWORD pid = 0;
    // True when any of the process's sessions is playing.
    bool active = false;
};

// One entry per process, in ascending pid order. The system-sounds session
// and expired sessions are left out. The first failing call ends the reading
// and its code is returned.
ResultCode ReadSessionOwners(std::vector<SessionOwner>& owners);
