// The audio client the activation hands out: stream set-up, start and stop.
#pragma once

#include <windows.h>
#include <audioclient.h>

#include <mutex>

#include "windows/simaudio/com_object.h"
#include "windows/simaudio/delivery.h"
#include "windows/simaudio/packet_queue.h"
#include "windows/simaudio/srw_lock.h"

class AudioClient final : public ComObject<IAudioClient> {
public:
    // A new client with one reference, or null when memory runs out; it
    // captures the tree rooted at `processId`, or all but that tree.
    static AudioClient* Make(DWORD processId, bool include);

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                         REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID sessionGuid) override;
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override;
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override;
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override;
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE shareMode,
                                                const WAVEFORMATEX* format,
                                                WAVEFORMATEX** closestMatch) override;
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override;
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                              REFERENCE_TIME* minimumPeriod) override;
    HRESULT STDMETHODCALLTYPE Start() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override;
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override;

    PacketQueue& Queue() { return queue_; }
    bool RecordsPackets() const { return scenario_.recordPackets; }

private:
    AudioClient(DWORD processId, bool include);
    ~AudioClient() override;

    HRESULT AdjustQuery(REFIID iid, HRESULT found) override;

    const Scenario& scenario_;
    // Guards the stream state below against concurrent consumer calls.
    SrwLock mutex_;
    bool initialized_ = false;
    DWORD streamFlags_ = 0;
    HANDLE sampleReady_ = nullptr;
    // Whether SetEventHandle ever succeeded: an event-driven client released
    // without one makes the platform wait several seconds.
    bool eventHandleSet_ = false;
    bool running_ = false;

    // Declared before delivery_, which uses it until it is destroyed.
    PacketQueue queue_;
    Delivery delivery_;
};
