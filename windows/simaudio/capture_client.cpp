#include "windows/simaudio/capture_client.h"

#include <new>
#include <string>

#include "windows/simaudio/audio_client.h"

CaptureClient* CaptureClient::Make(AudioClient* client) {
    return new (std::nothrow) CaptureClient(client);
}

CaptureClient::CaptureClient(AudioClient* client) : ComObject("CaptureClient"), client_(client) {
    client_->AddRef();
}

CaptureClient::~CaptureClient() {
    client_->Release();
}

HRESULT CaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                 UINT64* qpcPosition) {
    // A failure clears the three outputs it was given (the platform's
    // behaviour there is not documented: an assumption, see README.md).
    const auto clearOutputs = [&] {
        if (data != nullptr) *data = nullptr;
        if (frames != nullptr) *frames = 0;
        if (flags != nullptr) *flags = 0;
    };
    Handout handout;
    const std::optional<HRESULT> injected = CountCall(Call::GetBuffer);
    if (InjectedFailure(injected)) {
        handout.result = *injected;
        clearOutputs();
    } else if (data == nullptr || frames == nullptr || flags == nullptr) {
        handout.result = E_POINTER;
        clearOutputs();
    } else {
        // "Buffer empty" means nothing was acquired, injected or not: the
        // packet stays pending for the next call.
        handout =
            client_->Queue().Get(client_->RecordsPackets(), injected == AUDCLNT_S_BUFFER_EMPTY);
        if (handout.result == S_OK) {
            *data = handout.data;
            *frames = handout.frames;
            *flags = handout.flags;
            if (devicePosition != nullptr) *devicePosition = handout.position;
            if (qpcPosition != nullptr) *qpcPosition = handout.qpc;
        } else if (handout.result == AUDCLNT_S_BUFFER_EMPTY) {
            // Documented: the frame count is set to 0 and the data pointer
            // and positions are not written. The flags are left alone too
            // (not documented: an assumption).
            *frames = 0;
        } else {
            clearOutputs();
        }
        handout.result = WithInjected(handout.result, injected);
    }
    if (client_->RecordsPackets()) {
        Record("GetBuffer -> " + Code(handout.result) +
               " frames=" + std::to_string(handout.frames) + " flags=" + Hex32(handout.flags) +
               " data=" + handout.content + " position=" + SetOrNull(devicePosition) +
               " qpc=" + SetOrNull(qpcPosition));
    }
    return handout.result;
}

HRESULT CaptureClient::ReleaseBuffer(UINT32 frames) {
    const HRESULT result =
        Injectable(Call::ReleaseBuffer, [&] { return client_->Queue().Release(frames); });
    if (client_->RecordsPackets()) {
        Record("ReleaseBuffer frames=" + std::to_string(frames) + " -> " + Code(result));
    }
    return result;
}

HRESULT CaptureClient::GetNextPacketSize(UINT32* frames) {
    UINT32 next = 0;
    const HRESULT result = Injectable(Call::GetNextPacketSize, [&]() -> HRESULT {
        if (frames == nullptr) return E_POINTER;
        next = client_->Queue().NextFrames();
        return S_OK;
    });
    if (frames != nullptr) *frames = next;
    if (client_->RecordsPackets()) {
        Record("GetNextPacketSize -> " + Code(result) + " frames=" + std::to_string(next));
    }
    return result;
}
