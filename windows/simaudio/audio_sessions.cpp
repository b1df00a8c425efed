#include "windows/simaudio/audio_sessions.h"

#include <new>
#include <string>

namespace {

// Not in every SDK's headers: GetProcessId's answer for a session that spans
// several processes.
constexpr HRESULT kNoSingleProcess = static_cast<HRESULT>(0x0889000Du);

const char* StateName(AudioSessionState state) {
    switch (state) {
    case AudioSessionStateActive:
        return "active";
    case AudioSessionStateInactive:
        return "inactive";
    default:
        return "expired";
    }
}

class AudioSessionControl final : public ComObject<IAudioSessionControl2> {
public:
    static AudioSessionControl* Make(const SimulatedSession& session) {
        return new (std::nothrow) AudioSessionControl(session);
    }

    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) override {
        const HRESULT result = Injectable(Call::GetState, [&]() -> HRESULT {
            if (state == nullptr) return E_POINTER;
            *state = session_.state;
            return S_OK;
        });
        Record("GetState pid=" + std::to_string(session_.pid) + " -> " + Code(result) +
               " state=" + StateName(session_.state));
        return result;
    }
    HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIconPath(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIconPath(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetGroupingParam(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetGroupingParam(LPCGUID, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterAudioSessionNotification(IAudioSessionEvents*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnregisterAudioSessionNotification(IAudioSessionEvents*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSessionIdentifier(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSessionInstanceIdentifier(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pid) override {
        const HRESULT result = Injectable(Call::GetProcessId, [&]() -> HRESULT {
            if (pid == nullptr) return E_POINTER;
            *pid = session_.pid;
            return session_.shared ? kNoSingleProcess : S_OK;
        });
        Record("GetProcessId -> " + Code(result) + " pid=" + std::to_string(session_.pid));
        return result;
    }
    HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override {
        const HRESULT result = Injectable(Call::IsSystemSoundsSession,
                                          [&] { return session_.systemSounds ? S_OK : S_FALSE; });
        Record("IsSystemSoundsSession pid=" + std::to_string(session_.pid) + " -> " + Code(result));
        return result;
    }
    HRESULT STDMETHODCALLTYPE SetDuckingPreference(BOOL) override { return E_NOTIMPL; }

private:
    explicit AudioSessionControl(const SimulatedSession& session)
        : ComObject("AudioSessionControl"), session_(session) {}

    // IAudioSessionControl2 extends IAudioSessionControl: one face serves both.
    HRESULT AdjustQuery(REFIID iid, HRESULT found) override {
        if (!IsEqualIID(iid, __uuidof(IAudioSessionControl))) return found;
        return S_OK;
    }

    const SimulatedSession session_;
};

class AudioSessionEnumerator final : public ComObject<IAudioSessionEnumerator> {
public:
    static AudioSessionEnumerator* Make(const std::vector<SimulatedSession>& sessions) {
        return new (std::nothrow) AudioSessionEnumerator(sessions);
    }

    HRESULT STDMETHODCALLTYPE GetCount(int* count) override {
        if (count == nullptr) return E_POINTER;
        *count = static_cast<int>(sessions_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl** session) override {
        const HRESULT result = Injectable(Call::GetSession, [&]() -> HRESULT {
            if (session == nullptr) return E_POINTER;
            *session = nullptr;
            if (index < 0 || static_cast<size_t>(index) >= sessions_.size()) return E_INVALIDARG;
            *session = AudioSessionControl::Make(sessions_[static_cast<size_t>(index)]);
            return *session != nullptr ? S_OK : E_OUTOFMEMORY;
        });
        Record("GetSession index=" + std::to_string(index) + " -> " + Code(result));
        return result;
    }

private:
    explicit AudioSessionEnumerator(const std::vector<SimulatedSession>& sessions)
        : ComObject("AudioSessionEnumerator"), sessions_(sessions) {}

    const std::vector<SimulatedSession> sessions_;
};

}  // namespace

AudioSessionManager* AudioSessionManager::Make(size_t endpoint,
                                               const std::vector<SimulatedSession>& sessions) {
    return new (std::nothrow) AudioSessionManager(endpoint, sessions);
}

AudioSessionManager::AudioSessionManager(size_t endpoint,
                                         const std::vector<SimulatedSession>& sessions)
    : ComObject("AudioSessionManager"), endpoint_(endpoint), sessions_(sessions) {}

// IAudioSessionManager2 extends IAudioSessionManager: one face serves both.
HRESULT AudioSessionManager::AdjustQuery(REFIID iid, HRESULT found) {
    if (!IsEqualIID(iid, __uuidof(IAudioSessionManager))) return found;
    return S_OK;
}

HRESULT AudioSessionManager::GetSessionEnumerator(IAudioSessionEnumerator** enumerator) {
    const HRESULT result = Injectable(Call::GetSessionEnumerator, [&]() -> HRESULT {
        if (enumerator == nullptr) return E_POINTER;
        *enumerator = AudioSessionEnumerator::Make(sessions_);
        return *enumerator != nullptr ? S_OK : E_OUTOFMEMORY;
    });
    Record("GetSessionEnumerator endpoint=" + std::to_string(endpoint_) + " -> " + Code(result) +
           " sessions=" + std::to_string(sessions_.size()));
    return result;
}

HRESULT AudioSessionManager::GetAudioSessionControl(LPCGUID, DWORD, IAudioSessionControl**) {
    return E_NOTIMPL;
}

HRESULT AudioSessionManager::GetSimpleAudioVolume(LPCGUID, DWORD, ISimpleAudioVolume**) {
    return E_NOTIMPL;
}

HRESULT AudioSessionManager::RegisterSessionNotification(IAudioSessionNotification*) {
    return E_NOTIMPL;
}

HRESULT AudioSessionManager::UnregisterSessionNotification(IAudioSessionNotification*) {
    return E_NOTIMPL;
}

HRESULT AudioSessionManager::RegisterDuckNotification(LPCWSTR, IAudioVolumeDuckNotification*) {
    return E_NOTIMPL;
}

HRESULT AudioSessionManager::UnregisterDuckNotification(IAudioVolumeDuckNotification*) {
    return E_NOTIMPL;
}
