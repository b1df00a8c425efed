// Entry point: command line, start-up and shutdown order, messages and exit
// status.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "windows/tool/app/arguments.h"
#include "windows/tool/app/stdin_watcher.h"
#include "windows/tool/capture/loopback_capture.h"
#include "common/exit_status.h"
#include "common/messages.h"
#include "windows/tool/platform/audio_compat.h"
#include "windows/tool/platform/com_ref.h"
#include "windows/tool/platform/events.h"
#include "windows/tool/platform/result.h"

namespace {

// Requests process-loopback activation with capture as the completion handler
// and waits for it to finish. Returns the activation's outcome.
ResultCode Activate(LoopbackCapture& capture, DWORD processId, PROCESS_LOOPBACK_MODE mode) {
    AUDIOCLIENT_ACTIVATION_PARAMS parameters{};
    parameters.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    parameters.ProcessLoopbackParams.TargetProcessId = processId;
    parameters.ProcessLoopbackParams.ProcessLoopbackMode = mode;

    PROPVARIANT activationBlob{};
    activationBlob.vt = VT_BLOB;
    activationBlob.blob.cbSize = sizeof parameters;
    activationBlob.blob.pBlobData = reinterpret_cast<BYTE*>(&parameters);

    capture.SetActivationDone(CreateStreamEvent());
    if (capture.ActivationDone() == nullptr) return FailureFromLastError();

    ComRef<IActivateAudioInterfaceAsyncOperation> operation;
    const ResultCode requested = ActivateAudioInterfaceAsync(
        VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, __uuidof(IAudioClient), &activationBlob,
        static_cast<IActivateAudioInterfaceCompletionHandler*>(&capture), operation.Receive());
    if (IsFailure(requested)) return requested;

    WaitForSingleObject(capture.ActivationDone(), INFINITE);
    return capture.ActivationResult();
}

// Runs the capture until stdin ends (S_OK) or the audio stack fails.
ResultCode Capture(LoopbackCapture& capture) {
    HARKWELL_RETURN_IF_FAILED(StartStdinWatcher(capture.StopRequested()));
    return capture.CaptureLoop();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"" HARKWELL_USAGE_LINE("Harkwell.exe"));
        return kExitUsage;
    }
    const DWORD processId = ParseProcessId(argv[1]);
    const PROCESS_LOOPBACK_MODE mode = ParseLoopbackMode(argv[2]);

    _setmode(_fileno(stdout), _O_BINARY);

    if (IsFailure(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return kExitFailed;

    // Released before the component runtime is uninitialised, so that the
    // audio stack's objects it holds go while their runtime is still there.
    ComRef<LoopbackCapture> capture = ComRef<LoopbackCapture>::FromOwned(LoopbackCapture::Make());
    if (!capture) {
        CoUninitialize();
        return kExitFailed;
    }

    const ResultCode activation = Activate(*capture.Get(), processId, mode);
    if (IsFailure(activation)) {
        fwprintf(stderr, L"" HARKWELL_ACTIVATE_FAILED_FORMAT "\n",
                 static_cast<unsigned>(activation));
    }
    const ResultCode captured = IsFailure(activation) ? activation : Capture(*capture.Get());

    capture.Reset();
    CoUninitialize();
    return IsFailure(captured) ? kExitFailed : kExitStopped;
}
