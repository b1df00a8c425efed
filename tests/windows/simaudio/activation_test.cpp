// Activation: what the request returns, whether and where the handler is
// called back, what the operation reports, and how scenarios are rejected.
#include "tests/windows/simaudio/stack_fixture.h"

namespace {

enum class Spoil { None, OtherProcess, Path, Interface, ShortBlob, NotBlob, ActivationType, Mode };

struct ActivationCase {
    const char* name;
    const char* scenario;
    Spoil spoil;
    bool agile;
    HRESULT call;            // what ActivateAudioInterfaceAsync returns
    bool callback;           // whether the handler is called back
    HRESULT getResult;       // what GetActivateResult returns
    HRESULT activateResult;  // the activation result it reports
    HRESULT query;           // QueryInterface for IAudioClient on the activated interface
};

ActivationRequest Spoiled(Spoil spoil) {
    ActivationRequest request;
    switch (spoil) {
    case Spoil::None:
        break;
    case Spoil::OtherProcess:
        request.SetParameters(AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, 0xFFFFFFFFu,
                              PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE);
        break;
    case Spoil::Path:
        request.path = L"VAD\\Process_Loopback\\";
        break;
    case Spoil::Interface:
        request.iid = __uuidof(IAudioCaptureClient);
        break;
    case Spoil::ShortBlob:
        request.blob.resize(8);
        break;
    case Spoil::NotBlob:
        request.vt = VT_EMPTY;
        break;
    case Spoil::ActivationType:
        request.SetParameters(AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT, 1234, 0);
        break;
    case Spoil::Mode:
        request.SetParameters(AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, 1234, 2);
        break;
    }
    return request;
}

constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000Eu);
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002u);
constexpr HRESULT kNotApplicable = S_OK;

const ActivationCase kActivationCases[] = {
    {"Accepted", nullptr, Spoil::None, true, S_OK, true, S_OK, S_OK, S_OK},
    {"AnyProcessIdAndExcludeMode", "", Spoil::OtherProcess, true, S_OK, true, S_OK, S_OK, S_OK},
    {"NotAgileHandler", nullptr, Spoil::None, false, kIllegalMethodCall, false, kNotApplicable,
     kNotApplicable, kNotApplicable},
    {"InjectedRequestFailure", "fail ActivateAudioInterfaceAsync 0x80070005", Spoil::None, true,
     static_cast<HRESULT>(0x80070005u), false, kNotApplicable, kNotApplicable, kNotApplicable},
    {"InjectedRequestSuccessCode", "fail ActivateAudioInterfaceAsync 0x00000001", Spoil::None, true,
     S_FALSE, true, S_OK, S_OK, S_OK},
    {"OtherPath", nullptr, Spoil::Path, true, S_OK, true, S_OK, kFileNotFound, kNotApplicable},
    {"OtherInterface", nullptr, Spoil::Interface, true, S_OK, true, S_OK, E_NOINTERFACE,
     kNotApplicable},
    {"ShortBlob", nullptr, Spoil::ShortBlob, true, S_OK, true, S_OK, E_INVALIDARG, kNotApplicable},
    {"NotBlob", nullptr, Spoil::NotBlob, true, S_OK, true, S_OK, E_INVALIDARG, kNotApplicable},
    {"DefaultActivationType", nullptr, Spoil::ActivationType, true, S_OK, true, S_OK, E_INVALIDARG,
     kNotApplicable},
    {"UnknownMode", nullptr, Spoil::Mode, true, S_OK, true, S_OK, E_INVALIDARG, kNotApplicable},
    {"ScriptedActivationResult", "activate-result 0x88890004", Spoil::None, true, S_OK, true, S_OK,
     static_cast<HRESULT>(0x88890004u), kNotApplicable},
    {"InjectedGetActivateResult", "fail GetActivateResult 0x80004005", Spoil::None, true, S_OK,
     true, E_FAIL, E_FAIL, kNotApplicable},
    {"InjectedQueryInterface", "fail QueryInterface 0x80004002", Spoil::None, true, S_OK, true,
     S_OK, S_OK, E_NOINTERFACE},
};

class ActivationTest : public StackTest, public testing::WithParamInterface<ActivationCase> {};

TEST_P(ActivationTest, ReturnsCallsBackAndReports) {
    const ActivationCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Load(c.scenario));
    TestHandler handler(c.agile);
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ASSERT_EQ(c.call, Activate(Spoiled(c.spoil), handler, operation));
    EXPECT_EQ(SUCCEEDED(c.call), operation != nullptr);
    if (c.callback) {
        ASSERT_TRUE(handler.WaitCompleted());
        EXPECT_NE(GetCurrentThreadId(), handler.thread);
        EXPECT_EQ(c.getResult, handler.getResult);
        if (SUCCEEDED(c.getResult)) {
            EXPECT_EQ(c.activateResult, handler.activateResult);
        }
        const bool interfaceExpected = SUCCEEDED(c.getResult) && SUCCEEDED(c.activateResult);
        ASSERT_EQ(interfaceExpected, handler.activated != nullptr);
        if (interfaceExpected) {
            ComPtr<IAudioClient> client;
            EXPECT_EQ(c.query, handler.activated.As(&client));
            EXPECT_EQ(SUCCEEDED(c.query), client != nullptr);
        }
    }
    handler.activated.Reset();
    operation.Reset();
    const std::vector<std::string> record = Unload();

    EXPECT_EQ(c.callback ? 1 : 0, handler.calls.load());
    EXPECT_EQ(1u, handler.references.load()) << "the stack kept a reference to the handler";
    EXPECT_EQ(c.callback ? 1u : 0u,
              CountOf(record, "ActivateCompleted thread=callback -> 0x00000000"));
    const size_t request = Find(record, "ActivateAudioInterfaceAsync ");
    ASSERT_LT(request, record.size());
    char ending[40];
    std::snprintf(ending, sizeof ending, " handler=%s -> 0x%08lx", c.agile ? "agile" : "not-agile",
                  static_cast<unsigned long>(c.call));
    EXPECT_NE(std::string::npos, record[request].find(ending)) << record[request];
}

INSTANTIATE_TEST_SUITE_P(Cases, ActivationTest, testing::ValuesIn(kActivationCases), CaseName());

// When and on which thread the handler is called.
struct CompletionCase {
    const char* name;
    const char* scenario;
    // Called already when the request returns, on the requesting thread.
    bool beforeReturn;
    DWORD delayMilliseconds;
    bool called;
};

const CompletionCase kCompletionCases[] = {
    {"Synchronous", "completion synchronous\n", true, 0, true},
    {"Delayed", "completion delayed 300\n", false, 300, true},
    {"Never", "completion never\n", false, 0, false},
};

class CompletionTest : public StackTest, public testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionTest, CallsTheHandlerWhenAndWhereTheScenarioSays) {
    const CompletionCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Load(c.scenario));
    TestHandler handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    const ULONGLONG requested = GetTickCount64();
    ASSERT_EQ(S_OK, Activate(ActivationRequest(), handler, operation));
    EXPECT_EQ(c.beforeReturn ? 1 : 0, handler.calls.load());
    if (c.called) {
        ASSERT_TRUE(handler.WaitCompleted());
        // The tick count moves in steps of up to 16 ms.
        EXPECT_GE(GetTickCount64() - requested + 16, c.delayMilliseconds);
        EXPECT_EQ(c.beforeReturn, handler.thread == GetCurrentThreadId());
        EXPECT_EQ(S_OK, handler.getResult);
        EXPECT_EQ(S_OK, handler.activateResult);
        EXPECT_TRUE(handler.activated);
    } else {
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT),
                  WaitForSingleObject(handler.completed.Get(), 500));
        HRESULT result = S_OK;
        ComPtr<IUnknown> activated;
        EXPECT_EQ(kIllegalMethodCall, operation->GetActivateResult(&result, &activated));
        EXPECT_EQ(nullptr, activated);
    }
    handler.activated.Reset();
    operation.Reset();
    const std::vector<std::string> record = Unload();

    EXPECT_EQ(c.called ? 1 : 0, handler.calls.load());
    EXPECT_EQ(1u, handler.references.load()) << "the stack kept a reference to the handler";
    const std::string completed =
        std::string("ActivateCompleted thread=") + (c.beforeReturn ? "caller" : "callback");
    const size_t request = Find(record, "ActivateAudioInterfaceAsync ");
    const size_t completion = Find(record, completed);
    if (!c.called) {
        EXPECT_EQ(record.size(), Find(record, "ActivateCompleted")) << Joined(record);
    } else if (c.beforeReturn) {
        EXPECT_LT(completion, request) << Joined(record);
    } else {
        EXPECT_LT(request, completion) << Joined(record);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CompletionTest, testing::ValuesIn(kCompletionCases), CaseName());

TEST_F(StackTest, RecordsTheRequestAndTheCallbackAfterIt) {
    ASSERT_NO_FATAL_FAILURE(Load(nullptr));
    TestHandler handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ASSERT_EQ(S_OK, Activate(ActivationRequest(), handler, operation));
    ASSERT_TRUE(handler.WaitCompleted());
    handler.activated.Reset();
    operation.Reset();
    const std::vector<std::string> record = Unload();

    ASSERT_GE(record.size(), 3u);
    EXPECT_EQ(
        "ActivateAudioInterfaceAsync path=VAD\\Process_Loopback "
        "iid={1CB9AD4C-DBFA-4C32-B178-C2F568A703B2} vt=65 blob=01000000d204000000000000 "
        "handler=agile -> 0x00000000",
        record[0]);
    EXPECT_EQ("GetActivateResult -> 0x00000000 result=0x00000000 interface=set", record[1]);
    EXPECT_LT(Find(record, "GetActivateResult"), Find(record, "ActivateCompleted"));
    EXPECT_EQ(1u, CountOf(record, "Destroyed object=Operation apartment=none"));
    EXPECT_EQ(1u, CountOf(record, "Destroyed object=AudioClient apartment=none"));
}

TEST_F(StackTest, CountsObjectsLeftAlive) {
    ASSERT_NO_FATAL_FAILURE(Load("activate-result 0x80004005"));
    TestHandler handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ASSERT_EQ(S_OK, Activate(ActivationRequest(), handler, operation));
    ASSERT_TRUE(handler.WaitCompleted());
    // Never released: the stack goes away under it.
    operation.Detach();
    Unload(1);
}

struct RejectedScenario {
    const char* name;
    const char* text;
    int line;
};

const RejectedScenario kRejectedScenarios[] = {
    {"UnknownDirective", "data 480\nsing 480\n", 2},
    {"NoFrames", "data\n", 1},
    {"FlagsNotHex", "# comment\n\ndata 480 3 flags=2\n", 3},
    {"FlagsOnSilence", "silent 480 flags=0x1\n", 1},
    {"UnknownCall", "fail Open 0x80004005\n", 1},
    {"CodeNotHex", "fail Start 5\n", 1},
    {"ZerothCall", "fail Start 0x80004005 0\n", 1},
    {"EmptyBatch", "batch 0\n", 1},
    {"UnknownPacing", "pacing slow\n", 1},
    {"EndWithoutLoop", "data 480\nend\n", 2},
    {"LoopWithoutEnd", "loop 2\n  data 480\nloop 3\ndata 1\nend\n", 1},
    {"PrefillWithoutPacket", "prefill pause 5\n", 1},
    {"SystemAfterPackets", "data 480\nprocess 1 parent=0 tone=440\n", 2},
    {"PacketsAfterSystem", "play 100\nloop 1\n  silent 480\nend\n", 3},
    {"PlayNotInTensOfMilliseconds", "process 1 parent=0 tone=440\nplay 15\n", 2},
    {"ProcessWithoutTone", "process 5 parent=1\n", 1},
    {"ProcessTwice", "process 5 parent=1 tone=440\nprocess 5 parent=2 tone=0\n", 2},
    {"ToneAboveHalfTheRate", "process 5 parent=1 tone=24000\n", 1},
    {"UnknownCompletion", "data 480\ncompletion later\n", 2},
    {"CompletionDelayedWithoutTime", "completion delayed\n", 1},
    {"SessionWithoutEndpoint", "session 5 active\n", 1},
    {"UnknownSessionWord", "endpoint render active\nsession 5 active loud\n", 2},
    {"SharedTwice", "endpoint render active\nsession 5 active shared shared\n", 2},
};

class RejectedScenarioTest : public StackTest,
                             public testing::WithParamInterface<RejectedScenario> {};

TEST_P(RejectedScenarioTest, FailsActivationAndRecordsTheLine) {
    ASSERT_NO_FATAL_FAILURE(Load(GetParam().text));
    TestHandler handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    EXPECT_EQ(E_INVALIDARG, Activate(ActivationRequest(), handler, operation));
    EXPECT_EQ(nullptr, operation);
    const std::vector<std::string> record = Unload();
    EXPECT_EQ(0, handler.calls.load());
    const size_t error = Find(record, "ScenarioError ");
    ASSERT_LT(error, record.size());
    EXPECT_EQ(
        0u, record[error].find("ScenarioError line=" + std::to_string(GetParam().line) + " text="));
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectedScenarioTest, testing::ValuesIn(kRejectedScenarios),
                         CaseName());

}  // namespace
