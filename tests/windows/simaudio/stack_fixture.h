// Loads the simulated audio stack fresh for each test, with a scenario and a
// record file of the test's own, and offers a completion handler and stream
// set-up that the tests share.
#pragma once

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <vector>

#include "windows/tool/platform/audio_compat.h"
#include "windows/tool/platform/unique_handle.h"

using Microsoft::WRL::ComPtr;

// Every wait in these tests ends after this long, so a hang fails.
constexpr DWORD kWaitMilliseconds = 5000;

using ActivateFunction = HRESULT(WINAPI*)(LPCWSTR, REFIID, PROPVARIANT*,
                                          IActivateAudioInterfaceCompletionHandler*,
                                          IActivateAudioInterfaceAsyncOperation**);

// A completion handler that remembers how it was called. Lives on the test's
// stack; its count only shows whether the stack still holds references.
class TestHandler final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
public:
    explicit TestHandler(bool agile = true);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    bool WaitCompleted() const;

    const bool agile;
    std::atomic<ULONG> references{1};
    // Written by ActivateCompleted before it sets completed; read by the test
    // after its wait.
    std::atomic<int> calls{0};
    DWORD thread = 0;
    HRESULT getResult = E_FAIL;
    HRESULT activateResult = E_FAIL;
    ComPtr<IUnknown> activated;
    UniqueHandle completed;
};

// The activation request the tool makes, taken apart so cases can spoil it.
struct ActivationRequest {
    std::wstring path = VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK;
    IID iid = __uuidof(IAudioClient);
    VARTYPE vt = VT_BLOB;
    std::vector<BYTE> blob;

    ActivationRequest();
    void SetParameters(DWORD activationType, DWORD processId, DWORD mode);
};

// The format the device produces.
WAVEFORMATEX DeviceFormat();
constexpr DWORD kEventStreamFlags =
    AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;

class StackTest : public testing::Test {
protected:
    void TearDown() override;

    // Loads the stack with `scenario` as its scenario file (none when null).
    void Load(const char* scenario);
    HRESULT Activate(const ActivationRequest& request, TestHandler& handler,
                     ComPtr<IActivateAudioInterfaceAsyncOperation>& operation);
    // Activates with the tool's request and returns the audio client.
    void ActivateClient(TestHandler& handler, ComPtr<IAudioClient>& client,
                        const ActivationRequest& request = ActivationRequest());
    // An activated, initialised and started event-driven stream.
    void StartStream(TestHandler& handler, ComPtr<IAudioClient>& client,
                     ComPtr<IAudioCaptureClient>& capture, UniqueHandle& sampleReady,
                     const ActivationRequest& request = ActivationRequest(),
                     REFERENCE_TIME bufferDuration = 2000000);
    // Waits until the record has `line` (`count` times); false if it does not come.
    bool WaitForRecordLine(const std::string& line, size_t count = 1) const;
    std::vector<std::string> RecordSoFar() const;
    // Unloads the stack and returns its record, which must end with the
    // process-exit line; `live` objects are expected to be left over.
    std::vector<std::string> Unload(long live = 0);

private:
    HMODULE module_ = nullptr;
    ActivateFunction activate_ = nullptr;
    std::wstring recordPath_;
    std::wstring scenarioPath_;
};

// Names a parameterised test after its case's `name`.
struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

// Whether `data` points at committed, accessible memory.
bool Readable(const void* data);
std::vector<std::string> ReadLines(const std::wstring& path);
bool Contains(const std::vector<std::string>& lines, const std::string& line);
size_t CountOf(const std::vector<std::string>& lines, const std::string& line);
// The record as one text, for failure messages.
std::string Joined(const std::vector<std::string>& lines);
// Index of the first line starting with `prefix`, or lines.size().
size_t Find(const std::vector<std::string>& lines, const std::string& prefix);
