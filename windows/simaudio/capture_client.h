// The capture service of an audio client: hands out the queued packets in
// order. Each one keeps its audio client alive.
#pragma once

#include <windows.h>
#include <audioclient.h>

#include "windows/simaudio/com_object.h"

class AudioClient;

class CaptureClient final : public ComObject<IAudioCaptureClient> {
public:
    // A new capture client with one reference, or null when memory runs out.
    static CaptureClient* Make(AudioClient* client);

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* devicePosition, UINT64* qpcPosition) override;
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override;

private:
    explicit CaptureClient(AudioClient* client);
    ~CaptureClient() override;

    // Holds one reference; never changes.
    AudioClient* const client_;
};
