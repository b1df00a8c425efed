// The capture object: completion handler of the process-loopback activation,
// owner of the capture stream, and the pump that moves packets to a PcmSink.
#pragma once

#include <atomic>
#include <vector>

#include "windows/tool/capture/pcm_sink.h"
#include "windows/tool/platform/audio_compat.h"
#include "windows/tool/platform/com_ref.h"
#include "windows/tool/platform/result.h"
#include "windows/tool/platform/unique_handle.h"

// The one stream format: 16-bit PCM, 2 channels, 48 kHz.
constexpr WORD kCaptureChannels = 2;
constexpr DWORD kCaptureSampleRate = 48000;
constexpr WORD kCaptureBitsPerSample = 16;
constexpr UINT32 kCaptureBytesPerFrame = 4;
WAVEFORMATEX CaptureFormat();

// Stream set-up arguments for IAudioClient::Initialize.
constexpr DWORD kCaptureStreamFlags =
    AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
    AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
constexpr REFERENCE_TIME kCaptureBufferDuration = 2000000;  // 200 ms in 100 ns units

// A free-threaded component object with two faces: IMarshal (forwarding to
// the free-threaded marshaler) and IActivateAudioInterfaceCompletionHandler.
// The activation thread writes every field before it sets activationDone;
// the main thread and the stdin watcher only read them after that.
class LoopbackCapture final : public IMarshal, public IActivateAudioInterfaceCompletionHandler {
public:
    // A new object with one reference, or null when memory runs out.
    static LoopbackCapture* Make();

    // IUnknown, shared by both faces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMarshal, forwarded to the free-threaded marshaler.
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID iid, void* object, DWORD destContext,
                                                void* reserved, DWORD flags, CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID iid, void* object, DWORD destContext,
                                                void* reserved, DWORD flags, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID iid, void* object,
                                               DWORD destContext, void* reserved,
                                               DWORD flags) override;
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID iid,
                                                 void** object) override;
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override;
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override;

    // IActivateAudioInterfaceCompletionHandler. Called once, on a thread of
    // the audio stack's; always returns S_OK and sets activationDone.
    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    // Configures and starts the capture stream from a finished activation.
    ResultCode CompleteActivation(IActivateAudioInterfaceAsyncOperation* operation);

    // Pumps packets to standard output until stopRequested is set (S_OK) or
    // the audio stack fails (its result).
    ResultCode CaptureLoop();
    ResultCode CaptureLoop(PcmSink& output);

    // Set by the entry function before activation is requested.
    void SetActivationDone(HANDLE event) { activationDone.Reset(event); }
    HANDLE ActivationDone() const { return activationDone.Get(); }
    ResultCode ActivationResult() const { return activationResult; }
    HANDLE StopRequested() const { return stopRequested.Get(); }
    HANDLE SampleReady() const { return sampleReady.Get(); }
    HANDLE WaitHandle(size_t index) const { return waitHandles[index]; }
    bool HasAudioClient() const { return static_cast<bool>(audioClient); }
    bool HasCaptureClient() const { return static_cast<bool>(captureClient); }

private:
    friend class LoopbackCaptureTestAccess;

    LoopbackCapture() = default;
    virtual ~LoopbackCapture();

    ResultCode DrainPackets(PcmSink& output, std::vector<BYTE>& silenceBuffer);

    // Null when the marshaler could not be made; the IMarshal operations then
    // fail with E_OUTOFMEMORY.
    ComRef<IMarshal> marshaler;
    // Changed from any thread, only by compare-and-swap.
    std::atomic<LONG> referenceCount{1};

    // Written by ActivateCompleted on the activation thread before it sets
    // activationDone; read by the main thread after its wait returns.
    ComRef<IAudioClient> audioClient;
    ComRef<IAudioCaptureClient> captureClient;
    // Written by the entry function before activation; set by ActivateCompleted.
    UniqueHandle activationDone;
    // Set by the audio engine whenever captured data may be ready.
    UniqueHandle sampleReady;
    // Set by the stdin watcher (through its own duplicate) to end the capture.
    UniqueHandle stopRequested;
    // sampleReady first: when both are set the wait reports it, so pending
    // audio is drained before a stop is seen.
    HANDLE waitHandles[2] = {nullptr, nullptr};
    ResultCode activationResult = E_FAIL;
};
