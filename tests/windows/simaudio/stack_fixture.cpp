#include "tests/windows/simaudio/stack_fixture.h"

#include <cstring>

namespace {

std::wstring TempFile(const wchar_t* suffix) {
    static std::atomic<int> counter{0};
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    return std::wstring(directory) + L"simaudio_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter) + suffix;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

}  // namespace

TestHandler::TestHandler(bool agileHandler)
    : agile(agileHandler), completed(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

HRESULT TestHandler::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, __uuidof(IUnknown)) ||
        IsEqualIID(iid, __uuidof(IActivateAudioInterfaceCompletionHandler))) {
        *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (agile && IsEqualIID(iid, __uuidof(IAgileObject))) {
        *object = static_cast<IAgileObject*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT TestHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
    thread = GetCurrentThreadId();
    getResult = operation->GetActivateResult(&activateResult, activated.ReleaseAndGetAddressOf());
    ++calls;
    SetEvent(completed.Get());
    return S_OK;
}

bool TestHandler::WaitCompleted() const {
    return WaitForSingleObject(completed.Get(), kWaitMilliseconds) == WAIT_OBJECT_0;
}

ActivationRequest::ActivationRequest() {
    SetParameters(AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, 1234,
                  PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
}

void ActivationRequest::SetParameters(DWORD activationType, DWORD processId, DWORD mode) {
    const DWORD fields[3] = {activationType, processId, mode};
    blob.resize(sizeof fields);
    std::memcpy(blob.data(), fields, sizeof fields);
}

WAVEFORMATEX DeviceFormat() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 48000;
    format.nAvgBytesPerSec = 48000 * 4;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    return format;
}

void StackTest::TearDown() {
    if (module_ != nullptr) Unload();
}

void StackTest::Load(const char* scenario) {
    ASSERT_EQ(nullptr, module_);
    recordPath_ = TempFile(L".record");
    ASSERT_TRUE(SetEnvironmentVariableW(L"SIMAUDIO_RECORD", recordPath_.c_str()));
    if (scenario == nullptr) {
        SetEnvironmentVariableW(L"SIMAUDIO_SCENARIO", nullptr);
    } else {
        const std::wstring scenarioPath = TempFile(L".scenario");
        ASSERT_TRUE(WriteText(scenarioPath, scenario));
        ASSERT_TRUE(SetEnvironmentVariableW(L"SIMAUDIO_SCENARIO", scenarioPath.c_str()));
        scenarioPath_ = scenarioPath;
    }
    module_ = LoadLibraryW(L"" SIMAUDIO_DLL_PATH);
    ASSERT_NE(nullptr, module_) << "cannot load " << SIMAUDIO_DLL_PATH;
    activate_ = reinterpret_cast<ActivateFunction>(
        reinterpret_cast<void*>(GetProcAddress(module_, "ActivateAudioInterfaceAsync")));
    ASSERT_NE(nullptr, activate_);
    // The system's stack would write no record.
    if (GetFileAttributesW(recordPath_.c_str()) == INVALID_FILE_ATTRIBUTES) {
        FreeLibrary(module_);
        module_ = nullptr;
        FAIL() << "the system's mmdevapi.dll was loaded instead of " << SIMAUDIO_DLL_PATH
               << " (under Wine, set WINEDLLOVERRIDES=mmdevapi=n,b)";
    }
}

HRESULT StackTest::Activate(const ActivationRequest& request, TestHandler& handler,
                            ComPtr<IActivateAudioInterfaceAsyncOperation>& operation) {
    PROPVARIANT parameters{};
    parameters.vt = request.vt;
    if (request.vt == VT_BLOB) {
        parameters.blob.cbSize = static_cast<ULONG>(request.blob.size());
        parameters.blob.pBlobData = const_cast<BYTE*>(request.blob.data());
    }
    return activate_(request.path.c_str(), request.iid, &parameters, &handler,
                     operation.ReleaseAndGetAddressOf());
}

void StackTest::ActivateClient(TestHandler& handler, ComPtr<IAudioClient>& client,
                               const ActivationRequest& request) {
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ASSERT_EQ(S_OK, Activate(request, handler, operation));
    ASSERT_TRUE(handler.WaitCompleted());
    ASSERT_EQ(S_OK, handler.activateResult);
    ASSERT_TRUE(handler.activated);
    ASSERT_EQ(S_OK, handler.activated.As(&client));
}

void StackTest::StartStream(TestHandler& handler, ComPtr<IAudioClient>& client,
                            ComPtr<IAudioCaptureClient>& capture, UniqueHandle& sampleReady,
                            const ActivationRequest& request, REFERENCE_TIME bufferDuration) {
    ASSERT_NO_FATAL_FAILURE(ActivateClient(handler, client, request));
    const WAVEFORMATEX format = DeviceFormat();
    ASSERT_EQ(S_OK, client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventStreamFlags, bufferDuration,
                                       0, &format, nullptr));
    ASSERT_EQ(S_OK, client->GetService(__uuidof(IAudioCaptureClient),
                                       reinterpret_cast<void**>(capture.ReleaseAndGetAddressOf())));
    sampleReady.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_EQ(S_OK, client->SetEventHandle(sampleReady.Get()));
    ASSERT_EQ(S_OK, client->Start());
}

bool StackTest::WaitForRecordLine(const std::string& line, size_t count) const {
    const ULONGLONG deadline = GetTickCount64() + kWaitMilliseconds;
    while (CountOf(ReadLines(recordPath_), line) < count) {
        if (GetTickCount64() > deadline) return false;
        Sleep(1);
    }
    return true;
}

std::vector<std::string> StackTest::RecordSoFar() const {
    return ReadLines(recordPath_);
}

std::vector<std::string> StackTest::Unload(long live) {
    std::vector<std::string> lines;
    if (module_ == nullptr) return lines;
    FreeLibrary(module_);
    module_ = nullptr;
    // A callback thread keeps the module loaded until it has left it.
    const std::string exitLine = "ProcessExit live=" + std::to_string(live);
    const ULONGLONG deadline = GetTickCount64() + kWaitMilliseconds;
    for (;;) {
        lines = ReadLines(recordPath_);
        if (!lines.empty() && lines.back().compare(0, 11, "ProcessExit") == 0) break;
        if (GetTickCount64() > deadline) {
            ADD_FAILURE() << "the stack was not unloaded";
            return lines;
        }
        Sleep(1);
    }
    EXPECT_EQ(exitLine, lines.back());
    DeleteFileW(recordPath_.c_str());
    if (!scenarioPath_.empty()) DeleteFileW(scenarioPath_.c_str());
    scenarioPath_.clear();
    return lines;
}

bool Readable(const void* data) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(data, &info, sizeof info) == 0) return false;
    return info.State == MEM_COMMIT && (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) == 0;
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::vector<std::string> lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0)
        text.append(buffer, read);
    CloseHandle(file);
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return CountOf(lines, line) != 0;
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    size_t count = 0;
    for (const std::string& candidate : lines)
        count += candidate == line ? 1 : 0;
    return count;
}

size_t Find(const std::vector<std::string>& lines, const std::string& prefix) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, prefix.size(), prefix) == 0) return i;
    }
    return lines.size();
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}
