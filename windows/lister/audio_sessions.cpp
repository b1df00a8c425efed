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

ResultCode AddSession(IAudioSessionControl& session, std::vector<SessionOwner>& owners) {
    ComRef<IAudioSessionControl2> control;
    HARKWELL_RETURN_IF_FAILED(
        session.QueryInterface(__uuidof(IAudioSessionControl2), control.ReceiveAsVoid()));
    const ResultCode systemSounds = control->IsSystemSoundsSession();
    if (IsFailure(systemSounds)) return systemSounds;
    if (systemSounds == S_OK) return S_OK;
    AudioSessionState state = AudioSessionStateExpired;
    HARKWELL_RETURN_IF_FAILED(control->GetState(&state));
    if (state == AudioSessionStateExpired) return S_OK;
    DWORD pid = 0;
    // A session shared by several processes answers with a success code
    // (AUDCLNT_S_NO_SINGLE_PROCESS) and the process that opened it.
    HARKWELL_RETURN_IF_FAILED(control->GetProcessId(&pid));
    AddOwner(owners, pid, state == AudioSessionStateActive);
    return S_OK;
}

ResultCode AddEndpointSessions(IMMDevice& endpoint, std::vector<SessionOwner>& owners) {
    ComRef<IAudioSessionManager2> manager;
    HARKWELL_RETURN_IF_FAILED(endpoint.Activate(
        __uuidof(IAudioSessionManager2), CLSCTX_INPROC_SERVER, nullptr, manager.ReceiveAsVoid()));
    ComRef<IAudioSessionEnumerator> sessions;
    HARKWELL_RETURN_IF_FAILED(manager->GetSessionEnumerator(sessions.Receive()));
    int count = 0;
    HARKWELL_RETURN_IF_FAILED(sessions->GetCount(&count));
    for (int i = 0; i < count; ++i) {
        ComRef<IAudioSessionControl> session;
        HARKWELL_RETURN_IF_FAILED(sessions->GetSession(i, session.Receive()));
        HARKWELL_RETURN_IF_FAILED(AddSession(*session.Get(), owners));
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
    for (UINT i = 0; i < count; ++i) {
        ComRef<IMMDevice> endpoint;
        HARKWELL_RETURN_IF_FAILED(endpoints->Item(i, endpoint.Receive()));
        HARKWELL_RETURN_IF_FAILED(AddEndpointSessions(*endpoint.Get(), owners));
    }
    return S_OK;
}
