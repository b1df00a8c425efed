#include "windows/simaudio/audio_client.h"

#include <mmreg.h>

#include <new>
#include <string>

#include "windows/simaudio/capture_client.h"
#include "windows/simaudio/event_info.h"

namespace {

constexpr REFERENCE_TIME kDevicePeriod = 100000;  // 10 ms in 100 ns units
constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;

// A format the engine could convert to: PCM, float or extensible, with
// consistent sizes. The process-loopback client converts to such a format
// with or without AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM (see README.md).
bool IsConvertibleFormat(const WAVEFORMATEX& format) {
    const bool knownTag = format.wFormatTag == WAVE_FORMAT_PCM ||
                          format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
                          format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    return knownTag && format.nChannels != 0 && format.nSamplesPerSec != 0 &&
           format.wBitsPerSample != 0 && format.wBitsPerSample % 8 == 0 &&
           format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8;
}

std::string FormatBytes(const WAVEFORMATEX* format) {
    if (format == nullptr) return "null";
    return HexBytes(format, sizeof(WAVEFORMATEX) + format->cbSize);
}

std::string SessionText(LPCGUID session) {
    return session == nullptr ? std::string("null") : GuidText(*session);
}

HRESULT RecordResult(const char* call, HRESULT result) {
    Record(std::string(call) + " -> " + Code(result));
    return result;
}

}  // namespace

AudioClient* AudioClient::Make(DWORD processId, bool include) {
    return new (std::nothrow) AudioClient(processId, include);
}

AudioClient::AudioClient(DWORD processId, bool include)
    : ComObject("AudioClient"),
      scenario_(LoadedScenario()),
      delivery_(scenario_, queue_, scenario_.SelectedTones(processId, include)) {}

AudioClient::~AudioClient() {
    delivery_.Stop();
    if (initialized_ && (streamFlags_ & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0 &&
        !eventHandleSet_) {
        Record("ReleasedWithoutEventHandle object=AudioClient");
    }
}

HRESULT AudioClient::AdjustQuery(REFIID iid, HRESULT found) {
    if (!IsEqualIID(iid, __uuidof(IAudioClient))) return found;
    return Injectable(Call::QueryInterface, [found] { return found; });
}

HRESULT AudioClient::Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                const WAVEFORMATEX* format, LPCGUID sessionGuid) {
    const HRESULT result = Injectable(Call::Initialize, [&]() -> HRESULT {
        std::lock_guard<SrwLock> lock(mutex_);
        if (initialized_) return AUDCLNT_E_ALREADY_INITIALIZED;
        // Documented: loopback needs shared mode, else E_INVALIDARG.
        if (shareMode != AUDCLNT_SHAREMODE_SHARED) return E_INVALIDARG;
        if ((streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) == 0) return E_INVALIDARG;
        if (format == nullptr) return E_POINTER;
        if (!IsConvertibleFormat(*format)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
        initialized_ = true;
        streamFlags_ = streamFlags;
        // In real time the engine holds what the duration asks for, at least
        // one period; a fast scenario waits for its consumer instead.
        if (scenario_.pacing == Pacing::Realtime) {
            const REFERENCE_TIME held =
                bufferDuration > kDevicePeriod ? bufferDuration : kDevicePeriod;
            queue_.SetCapacity(static_cast<UINT32>(held * 48000 / kUnitsPerSecond));
        }
        return S_OK;
    });
    Record("Initialize sharemode=" + std::to_string(static_cast<int>(shareMode)) +
           " flags=" + Hex32(streamFlags) + " duration=" + std::to_string(bufferDuration) +
           " periodicity=" + std::to_string(periodicity) + " format=" + FormatBytes(format) +
           " session=" + SessionText(sessionGuid) + " -> " + Code(result));
    return result;
}

// The process-loopback client does not implement the queries below; its
// buffer size is not one to rely on either. Each call is recorded, so that a
// consumer starting to use one shows up.

HRESULT AudioClient::GetBufferSize(UINT32* frames) {
    // Succeeds with a size that says nothing about the engine buffer.
    if (frames != nullptr) *frames = 0;
    return RecordResult("GetBufferSize", frames == nullptr ? E_POINTER : S_OK);
}

HRESULT AudioClient::GetStreamLatency(REFERENCE_TIME* latency) {
    if (latency != nullptr) *latency = 0;
    return RecordResult("GetStreamLatency", E_NOTIMPL);
}

HRESULT AudioClient::GetCurrentPadding(UINT32* frames) {
    if (frames != nullptr) *frames = 0;
    return RecordResult("GetCurrentPadding", E_NOTIMPL);
}

HRESULT AudioClient::IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                       WAVEFORMATEX** closestMatch) {
    if (closestMatch != nullptr) *closestMatch = nullptr;
    return RecordResult("IsFormatSupported", E_NOTIMPL);
}

HRESULT AudioClient::GetMixFormat(WAVEFORMATEX** format) {
    if (format != nullptr) *format = nullptr;
    return RecordResult("GetMixFormat", E_NOTIMPL);
}

HRESULT AudioClient::GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) {
    if (defaultPeriod != nullptr) *defaultPeriod = 0;
    if (minimumPeriod != nullptr) *minimumPeriod = 0;
    return RecordResult("GetDevicePeriod", E_NOTIMPL);
}

HRESULT AudioClient::Start() {
    return RecordResult("Start", Injectable(Call::Start, [&]() -> HRESULT {
                            std::lock_guard<SrwLock> lock(mutex_);
                            if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
                            if (running_) return AUDCLNT_E_NOT_STOPPED;
                            if ((streamFlags_ & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0 &&
                                sampleReady_ == nullptr) {
                                return AUDCLNT_E_EVENTHANDLE_NOT_SET;
                            }
                            const HRESULT started = delivery_.Start(sampleReady_);
                            running_ = SUCCEEDED(started);
                            return started;
                        }));
}

HRESULT AudioClient::Stop() {
    return RecordResult("Stop", Injectable(Call::Stop, [&]() -> HRESULT {
                            std::lock_guard<SrwLock> lock(mutex_);
                            if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
                            if (!running_) return S_FALSE;
                            delivery_.Stop();
                            running_ = false;
                            return S_OK;
                        }));
}

HRESULT AudioClient::Reset() {
    HRESULT result = S_OK;
    {
        std::lock_guard<SrwLock> lock(mutex_);
        if (!initialized_) {
            result = AUDCLNT_E_NOT_INITIALIZED;
        } else if (running_) {
            result = AUDCLNT_E_NOT_STOPPED;
        } else {
            result = queue_.Clear();
        }
    }
    return RecordResult("Reset", result);
}

HRESULT AudioClient::SetEventHandle(HANDLE event) {
    // Described before anything else touches the event.
    const std::string description = DescribeEventHandle(event);
    const HRESULT result = Injectable(Call::SetEventHandle, [&]() -> HRESULT {
        std::lock_guard<SrwLock> lock(mutex_);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if ((streamFlags_ & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) == 0) {
            return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
        }
        if (event == nullptr) return E_INVALIDARG;
        sampleReady_ = event;
        eventHandleSet_ = true;
        return S_OK;
    });
    Record("SetEventHandle " + description + " -> " + Code(result));
    return result;
}

HRESULT AudioClient::GetService(REFIID iid, void** service) {
    if (service != nullptr) *service = nullptr;
    const HRESULT result = Injectable(Call::GetService, [&]() -> HRESULT {
        if (service == nullptr) return E_POINTER;
        std::lock_guard<SrwLock> lock(mutex_);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (!IsEqualIID(iid, __uuidof(IAudioCaptureClient))) return E_NOINTERFACE;
        IAudioCaptureClient* capture = CaptureClient::Make(this);
        if (capture == nullptr) return E_OUTOFMEMORY;
        *service = capture;
        return S_OK;
    });
    Record("GetService iid=" + GuidText(iid) + " -> " + Code(result));
    return result;
}
