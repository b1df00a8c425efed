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
// and expired sessions are left out, and so is what fails: a session whose
// calls fail, and an endpoint that cannot list its sessions. The reading
// fails, with the code of the failing call, only when the endpoints cannot
// be enumerated or every one of them fails (then with the first one's code).
ResultCode ReadSessionOwners(std::vector<SessionOwner>& owners);
