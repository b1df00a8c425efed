#include "windows/tool/capture/loopback_capture.h"

#include <new>

#include "windows/tool/platform/events.h"
#include "windows/tool/platform/marshaler.h"

namespace {

constexpr LONG kSaturatedCount = 0x7FFFFFFF;

}  // namespace

WAVEFORMATEX CaptureFormat() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = kCaptureChannels;
    format.nSamplesPerSec = kCaptureSampleRate;
    format.nAvgBytesPerSec = kCaptureSampleRate * kCaptureBytesPerFrame;
    format.nBlockAlign = static_cast<WORD>(kCaptureBytesPerFrame);
    format.wBitsPerSample = kCaptureBitsPerSample;
    format.cbSize = 0;
    return format;
}

LoopbackCapture* LoopbackCapture::Make() {
    LoopbackCapture* capture = new (std::nothrow) LoopbackCapture();
    if (capture == nullptr) return nullptr;

    // Without a marshaler the object still works in-process; IMarshal calls
    // then report E_OUTOFMEMORY.
    ComRef<IUnknown> freeThreadedMarshaler;
    if (CreateFreeThreadedMarshaler(freeThreadedMarshaler.Receive()) >= 0 &&
        freeThreadedMarshaler) {
        freeThreadedMarshaler->QueryInterface(__uuidof(IMarshal),
                                              capture->marshaler.ReceiveAsVoid());
    }
    return capture;
}

LoopbackCapture::~LoopbackCapture() {
    captureClient.Reset();
    audioClient.Reset();
    marshaler.Reset();
}

HRESULT LoopbackCapture::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;

    struct Face {
        const IID& iid;
        IUnknown* face;
    };
    const Face faces[] = {
        {__uuidof(IUnknown), static_cast<IMarshal*>(this)},
        {__uuidof(IMarshal), static_cast<IMarshal*>(this)},
        {__uuidof(IAgileObject), static_cast<IMarshal*>(this)},
        {__uuidof(IActivateAudioInterfaceCompletionHandler),
         static_cast<IActivateAudioInterfaceCompletionHandler*>(this)},
    };
    for (const Face& entry : faces) {
        if (IsEqualIID(iid, entry.iid)) {
            entry.face->AddRef();
            *object = entry.face;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

ULONG LoopbackCapture::AddRef() {
    LONG count = referenceCount.load();
    for (;;) {
        if (count == kSaturatedCount) return static_cast<ULONG>(count);
        if (referenceCount.compare_exchange_weak(count, count + 1)) {
            return static_cast<ULONG>(count + 1);
        }
    }
}

ULONG LoopbackCapture::Release() {
    LONG count = referenceCount.load();
    for (;;) {
        if (count == kSaturatedCount) return static_cast<ULONG>(count);
        if (referenceCount.compare_exchange_weak(count, count - 1)) break;
    }
    const LONG remaining = count - 1;
    if (remaining == 0) delete this;
    return static_cast<ULONG>(remaining);
}

HRESULT LoopbackCapture::GetUnmarshalClass(REFIID iid, void* object, DWORD destContext,
                                           void* reserved, DWORD flags, CLSID* clsid) {
    if (!marshaler) return E_OUTOFMEMORY;
    return marshaler->GetUnmarshalClass(iid, object, destContext, reserved, flags, clsid);
}

HRESULT LoopbackCapture::GetMarshalSizeMax(REFIID iid, void* object, DWORD destContext,
                                           void* reserved, DWORD flags, DWORD* size) {
    if (!marshaler) return E_OUTOFMEMORY;
    return marshaler->GetMarshalSizeMax(iid, object, destContext, reserved, flags, size);
}

HRESULT LoopbackCapture::MarshalInterface(IStream* stream, REFIID iid, void* object,
                                          DWORD destContext, void* reserved, DWORD flags) {
    if (!marshaler) return E_OUTOFMEMORY;
    return marshaler->MarshalInterface(stream, iid, object, destContext, reserved, flags);
}

HRESULT LoopbackCapture::UnmarshalInterface(IStream* stream, REFIID iid, void** object) {
    if (!marshaler) return E_OUTOFMEMORY;
    return marshaler->UnmarshalInterface(stream, iid, object);
}

HRESULT LoopbackCapture::ReleaseMarshalData(IStream* stream) {
    if (!marshaler) return E_OUTOFMEMORY;
    return marshaler->ReleaseMarshalData(stream);
}

HRESULT LoopbackCapture::DisconnectObject(DWORD reserved) {
    if (!marshaler) return E_OUTOFMEMORY;
    return marshaler->DisconnectObject(reserved);
}

HRESULT LoopbackCapture::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
    activationResult = CompleteActivation(operation);
    SetEvent(activationDone.Get());
    return S_OK;
}

ResultCode LoopbackCapture::CompleteActivation(IActivateAudioInterfaceAsyncOperation* operation) {
    if (operation == nullptr) return E_POINTER;

    // Released on every return; only the clients taken from it are kept.
    ComRef<IUnknown> activatedInterface;
    ResultCode activateResult = E_FAIL;
    HARKWELL_RETURN_IF_FAILED(
        operation->GetActivateResult(&activateResult, activatedInterface.Receive()));
    HARKWELL_RETURN_IF_FAILED(activateResult);
    if (!activatedInterface) return E_POINTER;

    HARKWELL_RETURN_IF_FAILED(
        activatedInterface->QueryInterface(__uuidof(IAudioClient), audioClient.ReceiveAsVoid()));

    const WAVEFORMATEX format = CaptureFormat();
    HARKWELL_RETURN_IF_FAILED(audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kCaptureStreamFlags,
                                                      kCaptureBufferDuration, 0, &format, nullptr));

    HARKWELL_RETURN_IF_FAILED(
        audioClient->GetService(__uuidof(IAudioCaptureClient), captureClient.ReceiveAsVoid()));

    sampleReady.Reset(CreateStreamEvent());
    if (!sampleReady) return FailureFromLastError();
    stopRequested.Reset(CreateStreamEvent());
    if (!stopRequested) return FailureFromLastError();
    waitHandles[0] = sampleReady.Get();
    waitHandles[1] = stopRequested.Get();

    HARKWELL_RETURN_IF_FAILED(audioClient->SetEventHandle(sampleReady.Get()));
    HARKWELL_RETURN_IF_FAILED(audioClient->Start());
    return S_OK;
}

ResultCode LoopbackCapture::CaptureLoop() {
    StdoutPcmSink output;
    return CaptureLoop(output);
}

ResultCode LoopbackCapture::CaptureLoop(PcmSink& output) {
    if (!audioClient || !captureClient) return E_FAIL;

    // Only grows, so steady silence costs no allocation.
    std::vector<BYTE> silenceBuffer;
    for (;;) {
        switch (WaitForMultipleObjects(2, waitHandles, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            HARKWELL_RETURN_IF_FAILED(DrainPackets(output, silenceBuffer));
            break;
        case WAIT_OBJECT_0 + 1:
            audioClient->Stop();
            return S_OK;
        default:
            // The events live as long as the object; a failed wait would
            // otherwise spin.
            return FailureFromLastError();
        }
    }
}

ResultCode LoopbackCapture::DrainPackets(PcmSink& output, std::vector<BYTE>& silenceBuffer) {
    UINT32 packetFrames = 0;
    HARKWELL_RETURN_IF_FAILED(captureClient->GetNextPacketSize(&packetFrames));
    while (packetFrames != 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        HARKWELL_RETURN_IF_FAILED(
            captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr));

        const UINT64 byteCount = UINT64{frames} * kCaptureBytesPerFrame;
        if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
            // The data pointer of a silent packet is not meant to be read.
            if (silenceBuffer.size() < byteCount)
                silenceBuffer.resize(static_cast<size_t>(byteCount));
            if (byteCount != 0) output.Write(silenceBuffer.data(), static_cast<size_t>(byteCount));
        } else if (data != nullptr && byteCount != 0) {
            output.Write(data, static_cast<size_t>(byteCount));
        }
        output.Flush();

        HARKWELL_RETURN_IF_FAILED(captureClient->ReleaseBuffer(frames));
        HARKWELL_RETURN_IF_FAILED(captureClient->GetNextPacketSize(&packetFrames));
    }
    return S_OK;
}
