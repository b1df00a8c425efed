#include "windows/lister/audio_sessions.h"

#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include <algorithm>

#include "windows/tool/platform/com_ref.h"

namespace {

void AddOwner(std::vector<SessionOwner>& owners, DWORD pid, bool active) {
    const auto at = std::lower_bound(
        owners.begin(), owners.end(), pid,
        [](const SessionOwner& owner, DWORD wanted) { return owner.pid < wanted; });
    if (at != owners.end() && at->pid == pid) {
        at->active = at->active || active;
    } else {
        owners.insert(at, SessionOwner{pid, active});
    }
}

// Adds the owner of one session, unless it is the system-sounds session or
// has expired. False when one of its calls fails: the session is then left
// out, and the others are read on (a session can go at any moment, and the
// platform reports a device being unplugged through its sessions' calls).
bool AddSession(IAudioSessionControl& session, std::vector<SessionOwner>& owners) {
    ComRef<IAudioSessionControl2> control;
    if (IsFailure(
            session.QueryInterface(__uuidof(IAudioSessionControl2), control.ReceiveAsVoid()))) {
        return false;
    }
    const ResultCode systemSounds = control->IsSystemSoundsSession();
    if (IsFailure(systemSounds)) return false;
    if (systemSounds == S_OK) return true;
    AudioSessionState state = AudioSessionStateExpired;
    if (IsFailure(control->GetState(&state))) return false;
    if (state == AudioSessionStateExpired) return true;
    DWORD pid = 0;
    // A session shared by several processes answers with a success code
    // (AUDCLNT_S_NO_SINGLE_PROCESS) and the process that opened it.
    if (IsFailure(control->GetProcessId(&pid))) return false;
    AddOwner(owners, pid, state == AudioSessionStateActive);
    return true;
}

// Adds the owners of the endpoint's sessions; fails when the endpoint cannot
// list its sessions. A session that fails is left out (see AddSession).
ResultCode AddEndpointSessions(IMMDevice& endpoint, std::vector<SessionOwner>& owners) {
    ComRef<IAudioSessionManager2> manager;
    HARKWELL_RETURN_IF_FAILED(endpoint.Activate(
        __uuidof(IAudioSessionManager2), CLSCTX_INPROC_SERVER, nullptr, manager.ReceiveAsVoid()));
    if (!manager) return E_POINTER;
    ComRef<IAudioSessionEnumerator> sessions;
    HARKWELL_RETURN_IF_FAILED(manager->GetSessionEnumerator(sessions.Receive()));
    if (!sessions) return E_POINTER;
    int count = 0;
    HARKWELL_RETURN_IF_FAILED(sessions->GetCount(&count));
    for (int i = 0; i < count; ++i) {
        ComRef<IAudioSessionControl> session;
        if (IsFailure(sessions->GetSession(i, session.Receive())) || !session) continue;
        AddSession(*session.Get(), owners);
    }
    return S_OK;
}

}  // namespace

ResultCode ReadSessionOwners(std::vector<SessionOwner>& owners) {
    owners.clear();
    ComRef<IMMDeviceEnumerator> enumerator;
    HARKWELL_RETURN_IF_FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr,
                                               CLSCTX_INPROC_SERVER, __uuidof(IMMDeviceEnumerator),
                                               enumerator.ReceiveAsVoid()));
    ComRef<IMMDeviceCollection> endpoints;
    HARKWELL_RETURN_IF_FAILED(
        enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, endpoints.Receive()));
    UINT count = 0;
    HARKWELL_RETURN_IF_FAILED(endpoints->GetCount(&count));
    // One endpoint that fails (being unplugged, say) costs only its own
    // sessions; the reading fails when every endpoint does.
    ResultCode firstFailure = S_OK;
    bool anyRead = false;
    for (UINT i = 0; i < count; ++i) {
        ComRef<IMMDevice> endpoint;
        ResultCode result = endpoints->Item(i, endpoint.Receive());
        if (!IsFailure(result) && !endpoint) result = E_POINTER;
        if (!IsFailure(result)) result = AddEndpointSessions(*endpoint.Get(), owners);
        if (!IsFailure(result)) {
            anyRead = true;
        } else if (firstFailure == S_OK) {
            firstFailure = result;
        }
    }
    return count == 0 || anyRead ? S_OK : firstFailure;
}
