// ActivateAudioInterfaceAsync and its operation object. The completion
// handler is called once, on a thread of the stack's own, after the request
// has returned; a scenario can have it called on the requesting thread before
// the request returns, later, or never.
#include <windows.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "windows/tool/platform/audio_compat.h"
#include "windows/simaudio/audio_client.h"
#include "windows/simaudio/com_object.h"

namespace {

// E_ILLEGAL_METHOD_CALL; older headers do not define it.
constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000Eu);

class Operation final : public ComObject<IActivateAudioInterfaceAsyncOperation> {
public:
    // Takes over the reference to `client` (may be null).
    Operation(HRESULT result, AudioClient* client)
        : ComObject("Operation"), result_(result), client_(client) {}

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** iface) override {
        if (iface != nullptr) *iface = nullptr;
        std::string resultText = "-";
        const HRESULT call = Injectable(Call::GetActivateResult, [&]() -> HRESULT {
            if (result == nullptr || iface == nullptr) return E_POINTER;
            if (!completed_) return kIllegalMethodCall;
            *result = result_;
            resultText = Code(result_);
            if (client_ != nullptr) {
                client_->AddRef();
                *iface = client_;
            }
            return S_OK;
        });
        Record("GetActivateResult -> " + Code(call) + " result=" + resultText +
               " interface=" + SetOrNull(iface != nullptr ? *iface : nullptr));
        return call;
    }

    void MarkCompleted() { completed_ = true; }

private:
    ~Operation() override {
        if (client_ != nullptr) client_->Release();
    }

    const HRESULT result_;
    AudioClient* const client_;
    // Set by the callback thread just before it calls the handler; read by
    // any thread asking for the result.
    std::atomic<bool> completed_{false};
};

// Handed to the callback thread, which owns and frees it.
struct Callback {
    IActivateAudioInterfaceCompletionHandler* handler;
    Operation* operation;
    HANDLE requestReturned;
    DWORD callerThread;
    DWORD delayMilliseconds;
    // Keeps the module loaded until the thread has left it.
    HMODULE module;
};

void Complete(IActivateAudioInterfaceCompletionHandler* handler, Operation* operation,
              DWORD callerThread) {
    operation->MarkCompleted();
    const bool onCaller = GetCurrentThreadId() == callerThread;
    const HRESULT handled = handler->ActivateCompleted(operation);
    Record(std::string("ActivateCompleted thread=") + (onCaller ? "caller" : "callback") + " -> " +
           Code(handled));
}

DWORD WINAPI CallbackThread(void* parameter) {
    Callback* callback = static_cast<Callback*>(parameter);
    WaitForSingleObject(callback->requestReturned, INFINITE);
    CloseHandle(callback->requestReturned);
    if (callback->delayMilliseconds != 0) Sleep(callback->delayMilliseconds);
    Complete(callback->handler, callback->operation, callback->callerThread);
    callback->handler->Release();
    callback->operation->Release();
    const HMODULE module = callback->module;
    delete callback;
    FreeLibraryAndExitThread(module, 0);
}

bool IsAgile(IActivateAudioInterfaceCompletionHandler* handler) {
    IAgileObject* agile = nullptr;
    if (FAILED(handler->QueryInterface(__uuidof(IAgileObject), reinterpret_cast<void**>(&agile))) ||
        agile == nullptr) {
        return false;
    }
    agile->Release();
    return true;
}

// What a capture selects: a process tree, or everything but it.
struct Selection {
    DWORD processId = 0;
    bool include = true;
};

// The outcome the operation reports: problems with the request itself first,
// then the scenario's.
HRESULT ActivationResult(LPCWSTR path, REFIID iid, const PROPVARIANT* parameters,
                         Selection& selection) {
    if (path == nullptr || std::wcscmp(path, VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK) != 0) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (!IsEqualIID(iid, __uuidof(IAudioClient))) return E_NOINTERFACE;
    if (parameters == nullptr || parameters->vt != VT_BLOB ||
        parameters->blob.cbSize != sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) ||
        parameters->blob.pBlobData == nullptr) {
        return E_INVALIDARG;
    }
    AUDIOCLIENT_ACTIVATION_PARAMS activation{};
    std::memcpy(&activation, parameters->blob.pBlobData, sizeof activation);
    const PROCESS_LOOPBACK_MODE mode = activation.ProcessLoopbackParams.ProcessLoopbackMode;
    if (activation.ActivationType != AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK ||
        (mode != PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE &&
         mode != PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE)) {
        return E_INVALIDARG;
    }
    selection.processId = activation.ProcessLoopbackParams.TargetProcessId;
    selection.include = mode == PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    return LoadedScenario().activateResult;
}

std::string DescribeRequest(LPCWSTR path, REFIID iid, const PROPVARIANT* parameters,
                            IActivateAudioInterfaceCompletionHandler* handler) {
    std::string text = "ActivateAudioInterfaceAsync path=";
    text += path != nullptr ? Utf8(path) : "(null)";
    text += " iid=" + GuidText(iid);
    text += " vt=" + (parameters != nullptr ? std::to_string(parameters->vt) : std::string("-"));
    text += " blob=";
    if (parameters != nullptr && parameters->vt == VT_BLOB &&
        (parameters->blob.pBlobData != nullptr || parameters->blob.cbSize == 0)) {
        text += HexBytes(parameters->blob.pBlobData, parameters->blob.cbSize);
    } else {
        text += "-";
    }
    text += " handler=";
    text += handler == nullptr ? "null" : IsAgile(handler) ? "agile" : "not-agile";
    return text;
}

// Everything after the checks: the operation, and whatever completes it.
HRESULT StartActivation(LPCWSTR path, REFIID iid, const PROPVARIANT* parameters,
                        IActivateAudioInterfaceCompletionHandler* handler, Operation*& operation,
                        Callback*& callback) {
    Selection selection;
    const HRESULT result = ActivationResult(path, iid, parameters, selection);
    AudioClient* client = nullptr;
    if (SUCCEEDED(result)) {
        client = AudioClient::Make(selection.processId, selection.include);
        if (client == nullptr) return E_OUTOFMEMORY;
    }
    operation = new (std::nothrow) Operation(result, client);
    if (operation == nullptr) {
        if (client != nullptr) client->Release();
        return E_OUTOFMEMORY;
    }
    const Scenario& scenario = LoadedScenario();
    if (scenario.completion == Completion::Never) return S_OK;
    if (scenario.completion == Completion::Synchronous) {
        Complete(handler, operation, GetCurrentThreadId());
        return S_OK;
    }
    const DWORD delay =
        scenario.completion == Completion::Delayed ? scenario.completionDelayMilliseconds : 0;
    callback = new (std::nothrow)
        Callback{handler, operation, nullptr, GetCurrentThreadId(), delay, nullptr};
    if (callback == nullptr) return E_OUTOFMEMORY;
    callback->requestReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (callback->requestReturned == nullptr ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&CallbackThread), &callback->module)) {
        return E_OUTOFMEMORY;
    }
    operation->AddRef();
    handler->AddRef();
    HANDLE thread = CreateThread(nullptr, 0, &CallbackThread, callback, 0, nullptr);
    if (thread == nullptr) {
        handler->Release();
        operation->Release();
        FreeLibrary(callback->module);
        return E_OUTOFMEMORY;
    }
    CloseHandle(thread);
    return S_OK;
}

}  // namespace

extern "C" HRESULT WINAPI
ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid, PROPVARIANT* activationParams,
                            IActivateAudioInterfaceCompletionHandler* completionHandler,
                            IActivateAudioInterfaceAsyncOperation** activationOperation) {
    if (activationOperation != nullptr) *activationOperation = nullptr;
    const std::optional<HRESULT> injected = CountCall(Call::ActivateAudioInterfaceAsync);
    const std::string request =
        DescribeRequest(deviceInterfacePath, riid, activationParams, completionHandler);

    HRESULT result = S_OK;
    Operation* operation = nullptr;
    Callback* callback = nullptr;
    if (InjectedFailure(injected)) {
        result = *injected;
    } else if (completionHandler == nullptr || activationOperation == nullptr) {
        result = E_POINTER;
    } else if (!LoadedScenario().Valid()) {
        result = E_INVALIDARG;
    } else if (!IsAgile(completionHandler)) {
        result = kIllegalMethodCall;
    } else {
        result = StartActivation(deviceInterfacePath, riid, activationParams, completionHandler,
                                 operation, callback);
    }

    if (SUCCEEDED(result)) {
        result = WithInjected(result, injected);
        *activationOperation = operation;
        Record(request + " -> " + Code(result));
        if (callback != nullptr) SetEvent(callback->requestReturned);
        return result;
    }
    if (callback != nullptr) {
        if (callback->requestReturned != nullptr) CloseHandle(callback->requestReturned);
        delete callback;
    }
    if (operation != nullptr) operation->Release();
    Record(request + " -> " + Code(result));
    return result;
}
