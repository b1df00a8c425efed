// The audio and capture clients' answers to call sequences: misuse codes the
// platform gives, and failures or success codes a scenario injects.
#include "tests/windows/simaudio/stack_fixture.h"

namespace {

enum class Op {
    Initialize,         // event-driven loopback, device format
    InitializePolling,  // loopback without an event
    InitializeExclusive,
    InitializeWithoutLoopback,
    InitializeOtherFormat,  // 44.1 kHz
    InitializeConverted,    // 44.1 kHz with automatic conversion
    InitializeBadFormat,    // a block alignment that does not fit the channels
    InitializeNullFormat,
    SetEvent,
    SetNullEvent,
    Start,
    Stop,
    CaptureService,
    RenderService,
    GetMixFormat,
    IsFormatSupported,
    GetDevicePeriod,
    GetStreamLatency,
    GetCurrentPadding,
    GetBufferSize,
    GetNextPacketSize,
    GetBuffer,
    ReleaseWhole,  // the 480 frames every packet here has
    ReleasePart,
    ReleaseNothing,
};

struct Expect {
    Op op;
    HRESULT code;
};

struct SequenceCase {
    const char* name;
    const char* scenario;
    std::vector<Expect> steps;
};

constexpr HRESULT kNotInitialized = static_cast<HRESULT>(0x88890001u);
constexpr HRESULT kAlreadyInitialized = static_cast<HRESULT>(0x88890002u);
constexpr HRESULT kNotStopped = static_cast<HRESULT>(0x88890005u);
constexpr HRESULT kOutOfOrder = static_cast<HRESULT>(0x88890007u);
constexpr HRESULT kUnsupportedFormat = static_cast<HRESULT>(0x88890008u);
constexpr HRESULT kInvalidSize = static_cast<HRESULT>(0x88890009u);
constexpr HRESULT kEventHandleNotExpected = static_cast<HRESULT>(0x88890011u);
constexpr HRESULT kEventHandleNotSet = static_cast<HRESULT>(0x88890014u);
constexpr HRESULT kBufferEmpty = static_cast<HRESULT>(0x08890001u);

// Every packet is prefilled, so Start leaves them queued and no test waits.
const SequenceCase kSequenceCases[] = {
    {"CallsBeforeInitialize",
     "prefill data 480 2",
     {{Op::CaptureService, kNotInitialized},
      {Op::SetEvent, kNotInitialized},
      {Op::Start, kNotInitialized},
      {Op::Stop, kNotInitialized},
      {Op::GetMixFormat, E_NOTIMPL}}},
    // Documented: loopback in a mode other than shared is E_INVALIDARG.
    {"InitializeChecks",
     "",
     {{Op::InitializeExclusive, E_INVALIDARG},
      {Op::InitializeWithoutLoopback, E_INVALIDARG},
      {Op::InitializeNullFormat, E_POINTER},
      {Op::InitializeBadFormat, kUnsupportedFormat},
      {Op::Initialize, S_OK},
      {Op::Initialize, kAlreadyInitialized},
      {Op::InitializeConverted, kAlreadyInitialized}}},
    {"ConvertedFormat", "", {{Op::InitializeConverted, S_OK}}},
    // The process-loopback client converts without the flag too (the
    // platform's own sample asks for 44.1 kHz without it).
    {"OtherFormatWithoutTheConversionFlag", "", {{Op::InitializeOtherFormat, S_OK}}},
    {"EventNotExpectedWhenPolling",
     "",
     {{Op::InitializePolling, S_OK},
      {Op::SetEvent, kEventHandleNotExpected},
      {Op::Start, S_OK},
      {Op::Stop, S_OK}}},
    {"StartAndStop",
     "",
     {{Op::Initialize, S_OK},
      {Op::Start, kEventHandleNotSet},
      {Op::SetNullEvent, E_INVALIDARG},
      {Op::Stop, S_FALSE},
      {Op::SetEvent, S_OK},
      {Op::Start, S_OK},
      {Op::Start, kNotStopped},
      {Op::Stop, S_OK},
      {Op::Stop, S_FALSE},
      {Op::Start, S_OK},
      {Op::Stop, S_OK}}},
    {"Services",
     "",
     {{Op::Initialize, S_OK}, {Op::RenderService, E_NOINTERFACE}, {Op::CaptureService, S_OK}}},
    {"PacketOrder",
     "prefill data 480 2",
     {{Op::Initialize, S_OK},
      {Op::SetEvent, S_OK},
      {Op::CaptureService, S_OK},
      {Op::GetBuffer, kBufferEmpty},
      {Op::ReleaseWhole, kOutOfOrder},
      {Op::Start, S_OK},
      {Op::GetNextPacketSize, S_OK},
      {Op::GetBuffer, S_OK},
      {Op::GetBuffer, kOutOfOrder},
      {Op::ReleasePart, kInvalidSize},
      {Op::ReleaseWhole, S_OK},
      {Op::ReleaseWhole, kOutOfOrder},
      {Op::GetBuffer, S_OK},
      {Op::ReleaseWhole, S_OK},
      {Op::GetBuffer, kBufferEmpty}}},
    {"InjectedFailuresReplaceOneCall",
     "prefill data 480 2\n"
     "fail SetEventHandle 0x80070006\n"
     "fail GetService 0x80070005 1\n"
     "fail Start 0x80004005\n"
     "fail GetNextPacketSize 0x80004005\n"
     "fail GetBuffer 0x88890004 2\n"
     "fail ReleaseBuffer 0x88890003\n"
     "fail Stop 0x80004005",
     {{Op::Initialize, S_OK},
      {Op::SetEvent, static_cast<HRESULT>(0x80070006u)},
      {Op::Start, static_cast<HRESULT>(0x80004005u)},
      {Op::Start, kEventHandleNotSet},
      {Op::SetEvent, S_OK},
      {Op::CaptureService, static_cast<HRESULT>(0x80070005u)},
      {Op::CaptureService, S_OK},
      {Op::Start, S_OK},
      {Op::GetNextPacketSize, E_FAIL},
      {Op::GetBuffer, S_OK},
      {Op::ReleaseWhole, static_cast<HRESULT>(0x88890003u)},
      {Op::GetBuffer, static_cast<HRESULT>(0x88890004u)},
      {Op::ReleaseWhole, S_OK},
      {Op::Stop, E_FAIL},
      {Op::Stop, S_OK}}},
    {"QueriesTheLoopbackClientDoesNotAnswer",
     "",
     {{Op::GetMixFormat, E_NOTIMPL},
      {Op::IsFormatSupported, E_NOTIMPL},
      {Op::GetDevicePeriod, E_NOTIMPL},
      {Op::GetStreamLatency, E_NOTIMPL},
      {Op::GetCurrentPadding, E_NOTIMPL},
      {Op::GetBufferSize, S_OK},
      {Op::Initialize, S_OK},
      {Op::GetMixFormat, E_NOTIMPL},
      {Op::IsFormatSupported, E_NOTIMPL},
      {Op::GetDevicePeriod, E_NOTIMPL},
      {Op::GetStreamLatency, E_NOTIMPL},
      {Op::GetCurrentPadding, E_NOTIMPL},
      {Op::GetBufferSize, S_OK}}},
    // Nothing is acquired with "buffer empty", injected or not; releasing 0
    // frames afterwards, or not releasing at all, are both accepted.
    {"BufferEmptyHandsOutNothing",
     "prefill data 480 2\nfail GetBuffer 0x08890001 1",
     {{Op::Initialize, S_OK},
      {Op::SetEvent, S_OK},
      {Op::CaptureService, S_OK},
      {Op::Start, S_OK},
      {Op::GetBuffer, kBufferEmpty},
      {Op::ReleaseWhole, kOutOfOrder},
      {Op::ReleaseNothing, S_OK},
      {Op::ReleaseNothing, kOutOfOrder},
      {Op::GetBuffer, S_OK},
      {Op::ReleaseWhole, S_OK},
      {Op::GetBuffer, S_OK},
      {Op::ReleaseWhole, S_OK},
      {Op::GetBuffer, kBufferEmpty},
      {Op::GetBuffer, kBufferEmpty},
      {Op::ReleaseNothing, S_OK},
      {Op::GetBuffer, kBufferEmpty}}},
    {"InjectedSuccessCodesKeepTheEffect",
     "prefill data 480\nfail Initialize 0x00000001\nfail Start 0x00000001\n"
     "fail GetBuffer 0x00000002",
     {{Op::Initialize, S_FALSE},
      {Op::Initialize, kAlreadyInitialized},
      {Op::SetEvent, S_OK},
      {Op::CaptureService, S_OK},
      {Op::Start, S_FALSE},
      {Op::Start, kNotStopped},
      {Op::GetBuffer, static_cast<HRESULT>(2)},
      {Op::ReleaseWhole, S_OK}}},
};

// The objects one sequence works on.
struct Session {
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    UniqueHandle sampleReady{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

HRESULT InitializeWith(Session& session, DWORD flags, const WAVEFORMATEX* format,
                       AUDCLNT_SHAREMODE mode = AUDCLNT_SHAREMODE_SHARED) {
    return session.client->Initialize(mode, flags, 2000000, 0, format, nullptr);
}

HRESULT Perform(Op op, Session& session) {
    WAVEFORMATEX format = DeviceFormat();
    WAVEFORMATEX other = DeviceFormat();
    other.nSamplesPerSec = 44100;
    other.nAvgBytesPerSec = 44100 * 4;
    switch (op) {
    case Op::Initialize:
        return InitializeWith(session, kEventStreamFlags, &format);
    case Op::InitializePolling:
        return InitializeWith(session, AUDCLNT_STREAMFLAGS_LOOPBACK, &format);
    case Op::InitializeExclusive:
        return InitializeWith(session, kEventStreamFlags, &format, AUDCLNT_SHAREMODE_EXCLUSIVE);
    case Op::InitializeWithoutLoopback:
        return InitializeWith(session, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, &format);
    case Op::InitializeOtherFormat:
        return InitializeWith(session, kEventStreamFlags, &other);
    case Op::InitializeConverted:
        return InitializeWith(session, kEventStreamFlags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                              &other);
    case Op::InitializeNullFormat:
        return InitializeWith(session, kEventStreamFlags, nullptr);
    case Op::InitializeBadFormat: {
        WAVEFORMATEX bad = DeviceFormat();
        bad.nBlockAlign = 3;
        return InitializeWith(session, kEventStreamFlags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                              &bad);
    }
    case Op::SetEvent:
        return session.client->SetEventHandle(session.sampleReady.Get());
    case Op::SetNullEvent:
        return session.client->SetEventHandle(nullptr);
    case Op::Start:
        return session.client->Start();
    case Op::Stop:
        return session.client->Stop();
    case Op::CaptureService:
    case Op::RenderService: {
        void* service = &session;  // must be cleared on failure
        const HRESULT result = session.client->GetService(
            op == Op::CaptureService ? __uuidof(IAudioCaptureClient) : __uuidof(IAudioRenderClient),
            &service);
        EXPECT_EQ(SUCCEEDED(result), service != nullptr);
        if (op == Op::CaptureService && service != nullptr) {
            *session.capture.ReleaseAndGetAddressOf() = static_cast<IAudioCaptureClient*>(service);
        } else if (service != nullptr) {
            static_cast<IUnknown*>(service)->Release();
        }
        return result;
    }
    case Op::GetMixFormat: {
        WAVEFORMATEX* mix = &format;
        const HRESULT result = session.client->GetMixFormat(&mix);
        EXPECT_EQ(nullptr, mix);
        return result;
    }
    case Op::IsFormatSupported: {
        WAVEFORMATEX* closest = &format;
        const HRESULT result =
            session.client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &format, &closest);
        EXPECT_EQ(nullptr, closest);
        return result;
    }
    case Op::GetDevicePeriod: {
        REFERENCE_TIME periods[2] = {7, 7};
        return session.client->GetDevicePeriod(&periods[0], &periods[1]);
    }
    case Op::GetStreamLatency: {
        REFERENCE_TIME latency = 7;
        return session.client->GetStreamLatency(&latency);
    }
    case Op::GetCurrentPadding: {
        UINT32 padding = 7;
        return session.client->GetCurrentPadding(&padding);
    }
    case Op::GetBufferSize: {
        UINT32 size = 7;
        return session.client->GetBufferSize(&size);
    }
    case Op::GetNextPacketSize: {
        UINT32 frames = 7;
        const HRESULT result = session.capture->GetNextPacketSize(&frames);
        EXPECT_EQ(SUCCEEDED(result) ? 480u : 0u, frames);
        return result;
    }
    case Op::GetBuffer: {
        BYTE* const unset = reinterpret_cast<BYTE*>(&format);
        BYTE* data = unset;
        UINT32 frames = 7;
        DWORD flags = 7;
        UINT64 position = 7;
        UINT64 qpc = 7;
        const HRESULT result = session.capture->GetBuffer(&data, &frames, &flags, &position, &qpc);
        if (result == kBufferEmpty) {
            // Documented: the frame count is 0, the data pointer and the
            // positions are not written; the flags are left alone too.
            EXPECT_EQ(0u, frames);
            EXPECT_EQ(unset, data);
            EXPECT_EQ(7u, flags);
            EXPECT_EQ(7u, position);
            EXPECT_EQ(7u, qpc);
        } else if (SUCCEEDED(result)) {
            EXPECT_NE(nullptr, data);
            EXPECT_NE(unset, data);
            EXPECT_EQ(480u, frames);
            EXPECT_NE(7u, position);
        } else {
            EXPECT_EQ(nullptr, data);
            EXPECT_EQ(0u, frames);
            EXPECT_EQ(0u, flags);
        }
        return result;
    }
    case Op::ReleaseWhole:
        return session.capture->ReleaseBuffer(480);
    case Op::ReleasePart:
        return session.capture->ReleaseBuffer(479);
    case Op::ReleaseNothing:
        return session.capture->ReleaseBuffer(0);
    }
    return E_UNEXPECTED;
}

class SequenceTest : public StackTest, public testing::WithParamInterface<SequenceCase> {};

TEST_P(SequenceTest, EachCallReturnsThePlatformsCode) {
    ASSERT_NO_FATAL_FAILURE(Load(GetParam().scenario));
    TestHandler handler;
    Session session;
    ASSERT_NO_FATAL_FAILURE(ActivateClient(handler, session.client));
    handler.activated.Reset();
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Expect& step = GetParam().steps[i];
        EXPECT_EQ(step.code, Perform(step.op, session)) << "step " << i;
    }
    session.capture.Reset();
    session.client.Reset();
    const std::vector<std::string> record = Unload();
    EXPECT_EQ(1u, CountOf(record, "Destroyed object=AudioClient apartment=none"));
}

INSTANTIATE_TEST_SUITE_P(Cases, SequenceTest, testing::ValuesIn(kSequenceCases), CaseName());

TEST_F(StackTest, RecordsEveryQueryTheLoopbackClientDoesNotAnswer) {
    ASSERT_NO_FATAL_FAILURE(Load(""));
    TestHandler handler;
    Session session;
    ASSERT_NO_FATAL_FAILURE(ActivateClient(handler, session.client));
    handler.activated.Reset();
    for (Op op : {Op::GetMixFormat, Op::IsFormatSupported, Op::GetDevicePeriod,
                  Op::GetStreamLatency, Op::GetCurrentPadding, Op::GetBufferSize}) {
        Perform(op, session);
    }
    session.client.Reset();
    const std::vector<std::string> record = Unload();
    for (const char* line : {"GetMixFormat -> 0x80004001", "IsFormatSupported -> 0x80004001",
                             "GetDevicePeriod -> 0x80004001", "GetStreamLatency -> 0x80004001",
                             "GetCurrentPadding -> 0x80004001", "GetBufferSize -> 0x00000000"}) {
        EXPECT_TRUE(Contains(record, line)) << line << "\n" << Joined(record);
    }
}

// An event-driven client that was initialised and never given its event is
// recorded when it goes.
struct ReleaseCase {
    const char* name;
    const char* scenario;
    std::vector<Op> steps;
    bool recorded;
};

const ReleaseCase kReleaseCases[] = {
    {"NeverInitialized", "", {}, false},
    {"InitializedWithoutEvent", "", {Op::Initialize, Op::CaptureService}, true},
    {"EventSet", "", {Op::Initialize, Op::SetEvent}, false},
    {"EventSetAndStarted", "", {Op::Initialize, Op::SetEvent, Op::Start, Op::Stop}, false},
    {"SettingTheEventFailed",
     "fail SetEventHandle 0x80070057",
     {Op::Initialize, Op::SetEvent},
     true},
    {"NullEventRefused", "", {Op::Initialize, Op::SetNullEvent}, true},
    {"PollingClient", "", {Op::InitializePolling}, false},
};

class ReleaseTest : public StackTest, public testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseTest, RecordsAnEventDrivenClientReleasedWithoutItsEvent) {
    ASSERT_NO_FATAL_FAILURE(Load(GetParam().scenario));
    TestHandler handler;
    Session session;
    ASSERT_NO_FATAL_FAILURE(ActivateClient(handler, session.client));
    handler.activated.Reset();
    for (Op op : GetParam().steps)
        Perform(op, session);
    session.capture.Reset();
    session.client.Reset();
    const std::vector<std::string> record = Unload();
    EXPECT_EQ(GetParam().recorded ? 1u : 0u,
              CountOf(record, "ReleasedWithoutEventHandle object=AudioClient"))
        << Joined(record);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReleaseTest, testing::ValuesIn(kReleaseCases), CaseName());

}  // namespace
