// The capture object as a component object, and the stream set-up it runs
// when the activation completes.
#include <initguid.h>

#include <ocidl.h>

#include "tests/windows/tool/capture_test_support.h"

namespace {

// The class the free-threaded marshaler names for in-process unmarshaling.
const CLSID kInProcFreeMarshaler = {
    0x0000033A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

ULONG CountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

TEST(LoopbackCaptureObject, AnswersItsFourInterfacesWithTheRightFace) {
    fake_platform::Reset();
    ComRef<LoopbackCapture> capture = MakeCapture();
    ASSERT_TRUE(capture);
    IUnknown* const firstFace = static_cast<IMarshal*>(capture.Get());
    IUnknown* const secondFace =
        static_cast<IActivateAudioInterfaceCompletionHandler*>(capture.Get());

    const struct {
        const char* name;
        IID iid;
        IUnknown* face;
    } answers[] = {
        {"IUnknown", __uuidof(IUnknown), firstFace},
        {"IMarshal", __uuidof(IMarshal), firstFace},
        {"IAgileObject", __uuidof(IAgileObject), firstFace},
        {"IActivateAudioInterfaceCompletionHandler",
         __uuidof(IActivateAudioInterfaceCompletionHandler), secondFace},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.name);
        void* object = reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF));
        const ULONG before = CountOf(firstFace);
        ASSERT_EQ(S_OK, capture->QueryInterface(answer.iid, &object));
        EXPECT_EQ(answer.face, object);
        EXPECT_EQ(before + 1, CountOf(firstFace));
        static_cast<IUnknown*>(object)->Release();
        // Asked through the second face, the answer is the same.
        ASSERT_EQ(S_OK, static_cast<IUnknown*>(secondFace)->QueryInterface(answer.iid, &object));
        EXPECT_EQ(answer.face, object);
        static_cast<IUnknown*>(object)->Release();
    }
}

TEST(LoopbackCaptureObject, RefusesOtherInterfacesAndClearsTheOutReference) {
    fake_platform::Reset();
    ComRef<LoopbackCapture> capture = MakeCapture();
    ASSERT_TRUE(capture);
    const IID refused[] = {__uuidof(IAudioClient), __uuidof(IDispatch), __uuidof(IClassFactory),
                           __uuidof(IActivateAudioInterfaceAsyncOperation),
                           __uuidof(IConnectionPointContainer)};
    for (const IID& iid : refused) {
        void* object = reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF));
        EXPECT_EQ(E_NOINTERFACE, capture->QueryInterface(iid, &object));
        EXPECT_EQ(nullptr, object);
    }
    EXPECT_EQ(1u, CountOf(static_cast<IMarshal*>(capture.Get())));
    EXPECT_EQ(E_POINTER, capture->QueryInterface(__uuidof(IUnknown), nullptr));
}

TEST(LoopbackCaptureObject, CountsReferencesThroughBothFaces) {
    fake_platform::Reset();
    LoopbackCapture* capture = LoopbackCapture::Make();
    ASSERT_NE(nullptr, capture);
    IActivateAudioInterfaceCompletionHandler* handler = capture;
    EXPECT_EQ(2u, capture->AddRef());
    EXPECT_EQ(3u, handler->AddRef());
    EXPECT_EQ(2u, handler->Release());
    EXPECT_EQ(1u, capture->Release());
    EXPECT_EQ(0u, handler->Release());
}

TEST(LoopbackCaptureObject, CountSaturatesAndTheObjectIsThenNeverDestroyed) {
    fake_platform::Reset();
    LoopbackCapture* capture = LoopbackCapture::Make();
    ASSERT_NE(nullptr, capture);
    LoopbackCaptureTestAccess::SetReferenceCount(*capture, 0x7FFFFFFE);
    EXPECT_EQ(0x7FFFFFFFu, capture->AddRef());
    EXPECT_EQ(0x7FFFFFFFu, capture->AddRef());
    EXPECT_EQ(0x7FFFFFFFu, capture->Release());
    EXPECT_EQ(0x7FFFFFFFu, capture->Release());
    // Still alive: answering a query touches the object.
    void* object = nullptr;
    EXPECT_EQ(S_OK, capture->QueryInterface(__uuidof(IAgileObject), &object));
    EXPECT_EQ(0x7FFFFFFFu, capture->Release());
    // The object is leaked on purpose, as a saturated count demands.
}

TEST(LoopbackCaptureObject, IdentityHoldsThroughIMarshal) {
    fake_platform::Reset();
    ComRef<LoopbackCapture> capture = MakeCapture();
    ASSERT_TRUE(capture);
    ComRef<IMarshal> marshal;
    ASSERT_EQ(S_OK, capture->QueryInterface(__uuidof(IMarshal), marshal.ReceiveAsVoid()));
    ComRef<IUnknown> viaMarshal;
    ComRef<IUnknown> viaHandler;
    ASSERT_EQ(S_OK, marshal->QueryInterface(__uuidof(IUnknown), viaMarshal.ReceiveAsVoid()));
    ComRef<IActivateAudioInterfaceCompletionHandler> handler;
    ASSERT_EQ(S_OK, marshal->QueryInterface(__uuidof(IActivateAudioInterfaceCompletionHandler),
                                            handler.ReceiveAsVoid()));
    ASSERT_EQ(S_OK, handler->QueryInterface(__uuidof(IUnknown), viaHandler.ReceiveAsVoid()));
    EXPECT_EQ(viaMarshal.Get(), viaHandler.Get());
    EXPECT_EQ(static_cast<IUnknown*>(static_cast<IMarshal*>(capture.Get())), viaMarshal.Get());
}

TEST(LoopbackCaptureObject, ForwardsIMarshalToTheFreeThreadedMarshaler) {
    fake_platform::Reset();
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
        ComRef<LoopbackCapture> capture = MakeCapture();
        ASSERT_TRUE(capture);
        IUnknown* object = static_cast<IMarshal*>(capture.Get());
        CLSID unmarshaler{};
        EXPECT_EQ(S_OK, capture->GetUnmarshalClass(__uuidof(IUnknown), object, MSHCTX_INPROC,
                                                   nullptr, MSHLFLAGS_NORMAL, &unmarshaler));
        EXPECT_TRUE(IsEqualCLSID(kInProcFreeMarshaler, unmarshaler));
        DWORD size = 0;
        EXPECT_EQ(S_OK, capture->GetMarshalSizeMax(__uuidof(IUnknown), object, MSHCTX_INPROC,
                                                   nullptr, MSHLFLAGS_NORMAL, &size));
        EXPECT_GT(size, 0u);
    }
    CoUninitialize();
}

class LoopbackCaptureWithoutMarshaler
    : public ::testing::TestWithParam<fake_platform::MarshalerMode> {};

TEST_P(LoopbackCaptureWithoutMarshaler, IMarshalStillAnswersButEveryOperationIsOutOfMemory) {
    fake_platform::Reset();
    fake_platform::SetMarshalerMode(GetParam());
    ComRef<LoopbackCapture> capture = MakeCapture();
    fake_platform::Reset();
    ASSERT_TRUE(capture);

    ComRef<IMarshal> marshal;
    ASSERT_EQ(S_OK, capture->QueryInterface(__uuidof(IMarshal), marshal.ReceiveAsVoid()));
    IUnknown* object = static_cast<IMarshal*>(capture.Get());
    CLSID clsid{};
    DWORD size = 0;
    void* unmarshaled = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY, marshal->GetUnmarshalClass(__uuidof(IUnknown), object, MSHCTX_INPROC,
                                                        nullptr, MSHLFLAGS_NORMAL, &clsid));
    EXPECT_EQ(E_OUTOFMEMORY, marshal->GetMarshalSizeMax(__uuidof(IUnknown), object, MSHCTX_INPROC,
                                                        nullptr, MSHLFLAGS_NORMAL, &size));
    EXPECT_EQ(E_OUTOFMEMORY, marshal->MarshalInterface(nullptr, __uuidof(IUnknown), object,
                                                       MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL));
    EXPECT_EQ(E_OUTOFMEMORY,
              marshal->UnmarshalInterface(nullptr, __uuidof(IUnknown), &unmarshaled));
    EXPECT_EQ(E_OUTOFMEMORY, marshal->ReleaseMarshalData(nullptr));
    EXPECT_EQ(E_OUTOFMEMORY, marshal->DisconnectObject(0));
}

INSTANTIATE_TEST_SUITE_P(MarshalerMissing, LoopbackCaptureWithoutMarshaler,
                         ::testing::Values(fake_platform::MarshalerMode::CreationFails,
                                           fake_platform::MarshalerMode::NoIMarshal));

// Where the set-up stops and what it leaves behind.
struct SetUpCase {
    const char* name;
    void (*arrange)(FakeOperation&, FakeAudioClient&, IUnknown* plainUnknown);
    HRESULT expected;
    bool audioClient;
    bool captureClient;
    bool sampleReady;
    bool stopRequested;
    bool waitHandles;
    const char* lastCall;
};

const SetUpCase kSetUpCases[] = {
    {"GetActivateResultCallFails",
     [](FakeOperation& op, FakeAudioClient&, IUnknown*) {
         op.results["GetActivateResult"] = E_UNEXPECTED;
     },
     E_UNEXPECTED, false, false, false, false, false, "GetActivateResult"},
    {"ActivationResultIsAFailure",
     [](FakeOperation& op, FakeAudioClient&, IUnknown*) {
         op.activationResult = static_cast<HRESULT>(0x80070002);
         op.activated = nullptr;
     },
     static_cast<HRESULT>(0x80070002), false, false, false, false, false, "GetActivateResult"},
    {"ActivatedInterfaceIsNotAnAudioClient",
     [](FakeOperation& op, FakeAudioClient&, IUnknown* plain) { op.activated = plain; },
     E_NOINTERFACE, false, false, false, false, false, "GetActivateResult"},
    {"InitializeFails",
     [](FakeOperation&, FakeAudioClient& client, IUnknown*) {
         client.results["Initialize"] = AUDCLNT_E_UNSUPPORTED_FORMAT;
     },
     AUDCLNT_E_UNSUPPORTED_FORMAT, true, false, false, false, false, "Initialize"},
    {"GetServiceFails",
     [](FakeOperation&, FakeAudioClient& client, IUnknown*) {
         client.results["GetService"] = AUDCLNT_E_NOT_INITIALIZED;
     },
     AUDCLNT_E_NOT_INITIALIZED, true, false, false, false, false, "GetService"},
    {"SampleReadyCannotBeCreated",
     [](FakeOperation&, FakeAudioClient&, IUnknown*) {
         fake_platform::FailEventCreation(1, ERROR_NOT_ENOUGH_MEMORY);
     },
     static_cast<HRESULT>(0x80070008), true, true, false, false, false, "GetService"},
    {"StopRequestedCannotBeCreated",
     [](FakeOperation&, FakeAudioClient&, IUnknown*) {
         fake_platform::FailEventCreation(2, ERROR_NO_SYSTEM_RESOURCES);
     },
     static_cast<HRESULT>(0x800705AA), true, true, true, false, false, "GetService"},
    {"SetEventHandleFails",
     [](FakeOperation&, FakeAudioClient& client, IUnknown*) {
         client.results["SetEventHandle"] = E_INVALIDARG;
     },
     E_INVALIDARG, true, true, true, true, true, "SetEventHandle"},
    {"StartFails",
     [](FakeOperation&, FakeAudioClient& client, IUnknown*) {
         client.results["Start"] = AUDCLNT_E_NOT_STOPPED;
     },
     AUDCLNT_E_NOT_STOPPED, true, true, true, true, true, "Start"},
    {"StartSucceedsWithAnotherSuccessCode",
     [](FakeOperation&, FakeAudioClient& client, IUnknown*) { client.results["Start"] = S_FALSE; },
     S_OK, true, true, true, true, true, "Start"},
};

class CompleteActivationTest : public CaptureFixture,
                               public ::testing::WithParamInterface<SetUpCase> {};

TEST_P(CompleteActivationTest, StopsAtTheFirstFailureAndKeepsWhatItHad) {
    const SetUpCase& c = GetParam();
    ComRef<FakeUnknown> plain;
    plain = ComRef<FakeUnknown>::FromOwned(new FakeUnknown());
    c.arrange(*operation.Get(), *audioClient.Get(), plain.Get());
    IUnknown* const activated = operation->activated;
    const LONG activatedBefore = activated != nullptr ? CountOf(activated) : 0;

    EXPECT_EQ(c.expected, capture->CompleteActivation(operation.Get()));

    EXPECT_EQ(c.audioClient, capture->HasAudioClient());
    EXPECT_EQ(c.captureClient, capture->HasCaptureClient());
    EXPECT_EQ(c.sampleReady, capture->SampleReady() != nullptr);
    EXPECT_EQ(c.stopRequested, capture->StopRequested() != nullptr);
    EXPECT_EQ(c.waitHandles, capture->WaitHandle(0) != nullptr);
    EXPECT_EQ(c.waitHandles, capture->WaitHandle(1) != nullptr);
    if (c.waitHandles) {
        EXPECT_EQ(capture->SampleReady(), capture->WaitHandle(0));
        EXPECT_EQ(capture->StopRequested(), capture->WaitHandle(1));
    }
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(c.lastCall, calls.back());
    // The activated interface is only borrowed: what the set-up keeps is the
    // audio client reference, and only when it got one.
    if (activated != nullptr) {
        EXPECT_EQ(activatedBefore + (c.audioClient ? 1 : 0), static_cast<LONG>(CountOf(activated)));
    }
    EXPECT_EQ(1, operation->References());
}

INSTANTIATE_TEST_SUITE_P(Steps, CompleteActivationTest, ::testing::ValuesIn(kSetUpCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureFixture, SetUpConfiguresTheStreamExactly) {
    ASSERT_EQ(S_OK, capture->CompleteActivation(operation.Get()));

    const CallLog expected = {"GetActivateResult", "Initialize", "GetService", "SetEventHandle",
                              "Start"};
    EXPECT_EQ(expected, calls);
    EXPECT_EQ(AUDCLNT_SHAREMODE_SHARED, audioClient->initializedShareMode);
    EXPECT_EQ(0x88060000u, audioClient->initializedFlags);
    EXPECT_EQ(2000000, audioClient->initializedDuration);
    EXPECT_EQ(0, audioClient->initializedPeriodicity);
    EXPECT_EQ(nullptr, audioClient->initializedSession);
    const std::vector<BYTE> format = {0x01, 0x00, 0x02, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00,
                                      0xEE, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x00};
    EXPECT_EQ(format, audioClient->initializedFormat);
    EXPECT_EQ(capture->SampleReady(), audioClient->eventHandle);
    EXPECT_NE(capture->SampleReady(), capture->StopRequested());
    EXPECT_EQ(2, fake_platform::EventsCreated());
}

TEST_F(CaptureFixture, ActivateCompletedReportsSuccessAndWakesTheWaiterOnFailureToo) {
    const HRESULT outcomes[] = {S_OK, AUDCLNT_E_UNSUPPORTED_FORMAT};
    for (const HRESULT outcome : outcomes) {
        SCOPED_TRACE(outcome);
        ComRef<LoopbackCapture> fresh = MakeCapture();
        ASSERT_TRUE(fresh);
        ComRef<FakeAudioClient> client;
        client = ComRef<FakeAudioClient>::FromOwned(new FakeAudioClient());
        client->results["Initialize"] = outcome;
        operation->activated = client.Get();
        fresh->SetActivationDone(CreateEventExW(nullptr, nullptr, 0, EVENT_ALL_ACCESS));
        ASSERT_NE(nullptr, fresh->ActivationDone());
        EXPECT_EQ(E_FAIL, fresh->ActivationResult());

        IActivateAudioInterfaceCompletionHandler* handler = fresh.Get();
        EXPECT_EQ(S_OK, handler->ActivateCompleted(operation.Get()));
        EXPECT_EQ(outcome, fresh->ActivationResult());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(fresh->ActivationDone(), 0));
        // The operation is queried, not kept.
        EXPECT_EQ(1, operation->References());
    }
}

TEST_F(CaptureFixture, DestructionReleasesTheClientsAndClosesTheEvents) {
    ASSERT_EQ(S_OK, capture->CompleteActivation(operation.Get()));
    capture->SetActivationDone(CreateEventExW(nullptr, nullptr, 0, EVENT_ALL_ACCESS));
    const HANDLE events[] = {capture->ActivationDone(), capture->SampleReady(),
                             capture->StopRequested()};
    FakeCaptureClient* captureClient = audioClient->captureClient;
    captureClient->AddRef();
    EXPECT_EQ(2, audioClient->References());
    EXPECT_EQ(3, captureClient->References());

    capture.Reset();

    EXPECT_EQ(1, audioClient->References());
    EXPECT_EQ(2, captureClient->References());
    captureClient->Release();
    for (const HANDLE event : events) {
        DWORD flags = 0;
        EXPECT_FALSE(GetHandleInformation(event, &flags));
    }
}

}  // namespace
