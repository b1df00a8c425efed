// The session side of an endpoint: its session manager, the enumerator that
// manager hands out and one control per session.
#pragma once

#include <windows.h>
#include <audiopolicy.h>

#include <vector>

#include "windows/simaudio/com_object.h"
#include "windows/simaudio/endpoint_scenario.h"

class AudioSessionManager final : public ComObject<IAudioSessionManager2> {
public:
    // A new manager with one reference, or null when memory runs out.
    static AudioSessionManager* Make(size_t endpoint,
                                     const std::vector<SimulatedSession>& sessions);

    HRESULT STDMETHODCALLTYPE GetAudioSessionControl(LPCGUID, DWORD,
                                                     IAudioSessionControl**) override;
    HRESULT STDMETHODCALLTYPE GetSimpleAudioVolume(LPCGUID, DWORD, ISimpleAudioVolume**) override;
    HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** enumerator) override;
    HRESULT STDMETHODCALLTYPE RegisterSessionNotification(IAudioSessionNotification*) override;
    HRESULT STDMETHODCALLTYPE UnregisterSessionNotification(IAudioSessionNotification*) override;
    HRESULT STDMETHODCALLTYPE RegisterDuckNotification(LPCWSTR,
                                                       IAudioVolumeDuckNotification*) override;
    HRESULT STDMETHODCALLTYPE UnregisterDuckNotification(IAudioVolumeDuckNotification*) override;

private:
    AudioSessionManager(size_t endpoint, const std::vector<SimulatedSession>& sessions);

    HRESULT AdjustQuery(REFIID iid, HRESULT found) override;

    const size_t endpoint_;
    const std::vector<SimulatedSession> sessions_;
};
