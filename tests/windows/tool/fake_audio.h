// In-process doubles of the audio stack's objects, with call logs and
// injectable results, for driving the capture object directly.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "windows/tool/capture/pcm_sink.h"
#include "windows/tool/platform/audio_compat.h"

// Shared record of calls, in order, across the doubles and the sink. Null
// where a test must not allocate (logging allocates).
using CallLog = std::vector<std::string>;

template <typename Interface>
class FakeComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(Interface))) {
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<Interface*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG remaining = --references;
        if (remaining == 0) delete this;
        return static_cast<ULONG>(remaining);
    }
    LONG References() const { return references; }

protected:
    virtual ~FakeComObject() = default;

    void Log(const char* call) {
        if (log != nullptr) log->push_back(call);
    }
    // Failure injected for a call by name; S_OK otherwise.
    HRESULT ResultOf(const std::string& call) const {
        const auto found = results.find(call);
        return found == results.end() ? S_OK : found->second;
    }

public:
    CallLog* log = nullptr;
    std::map<std::string, HRESULT> results;

private:
    std::atomic<LONG> references{1};
};

// Answers IUnknown only.
class FakeUnknown final : public FakeComObject<IUnknown> {};

class FakeOperation final : public FakeComObject<IActivateAudioInterfaceAsyncOperation> {
public:
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult,
                                                IUnknown** activatedInterface) override {
        Log("GetActivateResult");
        const HRESULT call = ResultOf("GetActivateResult");
        if (call < 0) return call;
        *activateResult = activationResult;
        *activatedInterface = activated;
        if (activated != nullptr) activated->AddRef();
        return call;
    }

    HRESULT activationResult = S_OK;
    IUnknown* activated = nullptr;  // not owned
};

class FakeCaptureClient final : public FakeComObject<IAudioCaptureClient> {
public:
    enum class Content { Pattern, Garbage, Null };
    struct Packet {
        UINT32 frames;
        DWORD flags;
        Content content;
    };

    // Fills the queue up front, so that handing packets out never allocates.
    void Enqueue(const std::vector<Packet>& more) {
        for (const Packet& packet : more) {
            queue.push_back(packet);
            if (packet.frames * 4u > data.size()) data.resize(packet.frames * 4u);
        }
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<BYTE>(i * 7 + 3);
    }
    size_t Pending() const { return queue.size() - next; }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        Log("GetNextPacketSize");
        const HRESULT call = NextResult(kGetNextPacketSize);
        if (call < 0) return call;
        // A queued empty packet is still announced as pending, or it could
        // never be fetched.
        *frames = next < queue.size() ? std::max<UINT32>(queue[next].frames, 1) : 0;
        return call;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** bytes, UINT32* frames, DWORD* flags,
                                        UINT64* devicePosition, UINT64* qpcPosition) override {
        Log("GetBuffer");
        if (devicePosition != nullptr || qpcPosition != nullptr) positionsAsked = true;
        const HRESULT call = NextResult(kGetBuffer);
        if (call < 0) return call;
        if (handedOut || next >= queue.size()) return AUDCLNT_E_OUT_OF_ORDER;
        if (call == AUDCLNT_S_BUFFER_EMPTY) {
            // Nothing acquired: the packet stays pending. As documented, only
            // the frame count is written; the data pointer is left alone, and
            // so are the flags (as the simulated stack assumes).
            *frames = 0;
            emptyAnswered = true;
            return call;
        }
        const Packet& packet = queue[next];
        handedOut = true;
        *frames = packet.frames;
        *flags = packet.flags;
        switch (packet.content) {
        case Content::Pattern:
            *bytes = data.data();
            break;
        // Reading through this pointer faults.
        case Content::Garbage:
            *bytes = reinterpret_cast<BYTE*>(static_cast<uintptr_t>(0x10));
            break;
        case Content::Null:
            *bytes = nullptr;
            break;
        }
        return call;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        if (log != nullptr) log->push_back("ReleaseBuffer " + std::to_string(frames));
        const HRESULT call = NextResult(kReleaseBuffer);
        if (call < 0) return call;
        if (!handedOut) {
            // After "buffer empty", releasing 0 frames is accepted.
            if (frames != 0 || !emptyAnswered) return AUDCLNT_E_OUT_OF_ORDER;
            emptyAnswered = false;
            return call;
        }
        if (frames != queue[next].frames) return AUDCLNT_E_INVALID_SIZE;
        handedOut = false;
        ++next;
        return call;
    }

    enum Call { kGetNextPacketSize, kGetBuffer, kReleaseBuffer, kCallCount };

    // Makes the nth call (1-based) of an operation return result.
    void FailCall(Call call, int nth, HRESULT result) { failures[call] = {nth, result}; }

    std::vector<BYTE> data;
    bool positionsAsked = false;

private:
    // Allocation-free, so that tests can count the pump's own allocations.
    HRESULT NextResult(Call call) {
        const int count = ++callCounts[call];
        return failures[call].first == count ? failures[call].second : S_OK;
    }

    std::vector<Packet> queue;
    // Advanced by the pump's thread, read by tests waiting for it.
    std::atomic<size_t> next{0};
    bool handedOut = false;
    // The last GetBuffer answered "buffer empty" and nothing was released since.
    bool emptyAnswered = false;
    int callCounts[kCallCount] = {};
    std::pair<int, HRESULT> failures[kCallCount] = {};
};

class FakeAudioClient final : public FakeComObject<IAudioClient> {
public:
    FakeAudioClient() : captureClient(new FakeCaptureClient()) {}

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD flags,
                                         REFERENCE_TIME duration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID sessionGuid) override {
        Log("Initialize");
        initializedShareMode = shareMode;
        initializedFlags = flags;
        initializedDuration = duration;
        initializedPeriodicity = periodicity;
        initializedSession = sessionGuid;
        if (format != nullptr) {
            initializedFormat.assign(
                reinterpret_cast<const BYTE*>(format),
                reinterpret_cast<const BYTE*>(format) + sizeof *format + format->cbSize);
        }
        return ResultOf("Initialize");
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        Log("Start");
        return ResultOf("Start");
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        Log("Stop");
        return ResultOf("Stop");
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        Log("SetEventHandle");
        eventHandle = event;
        return ResultOf("SetEventHandle");
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) override {
        Log("GetService");
        *service = nullptr;
        const HRESULT result = ResultOf("GetService");
        if (result < 0) return result;
        return captureClient->QueryInterface(iid, service);
    }

    FakeCaptureClient* captureClient;  // owned: one reference
    AUDCLNT_SHAREMODE initializedShareMode = static_cast<AUDCLNT_SHAREMODE>(-1);
    DWORD initializedFlags = 0;
    REFERENCE_TIME initializedDuration = -1;
    REFERENCE_TIME initializedPeriodicity = -1;
    LPCGUID initializedSession = reinterpret_cast<LPCGUID>(static_cast<uintptr_t>(1));
    std::vector<BYTE> initializedFormat;
    HANDLE eventHandle = nullptr;

private:
    ~FakeAudioClient() override { captureClient->Release(); }
};

// Collects what the pump writes, logging each write and flush.
class RecordingSink final : public PcmSink {
public:
    void Write(const void* bytes, size_t size) override {
        if (log != nullptr) log->push_back("write " + std::to_string(size));
        ++writes;
        const BYTE* first = static_cast<const BYTE*>(bytes);
        if (keepBytes) received.insert(received.end(), first, first + size);
        bytesWritten += size;
    }
    void Flush() override {
        if (log != nullptr) log->push_back("flush");
        ++flushes;
    }

    CallLog* log = nullptr;
    bool keepBytes = true;
    std::vector<BYTE> received;
    size_t bytesWritten = 0;
    int writes = 0;
    int flushes = 0;
};
