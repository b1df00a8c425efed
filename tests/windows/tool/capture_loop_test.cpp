// The pump: what reaches the output, in which order, and how it ends.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>

#include "tests/windows/tool/allocation_counter.h"
#include "tests/windows/tool/capture_test_support.h"

using Packet = FakeCaptureClient::Packet;
using Content = FakeCaptureClient::Content;

namespace {

constexpr DWORD kSilent = AUDCLNT_BUFFERFLAGS_SILENT;
constexpr DWORD kDiscontinuity = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;

class CaptureLoopTest : public CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        ASSERT_EQ(S_OK, capture->CompleteActivation(operation.Get()));
        calls.clear();
        sink.log = &calls;
    }

    // Runs the pump on a thread of its own and fails, rather than hangs, if it
    // has not returned within five seconds.
    HRESULT RunLoop() {
        std::packaged_task<HRESULT()> task([this] {
            const long before = ThreadAllocations();
            const HRESULT result = capture->CaptureLoop(sink);
            loopAllocations = ThreadAllocations() - before;
            return result;
        });
        std::future<HRESULT> result = task.get_future();
        std::thread pump(std::move(task));
        if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            SetEvent(capture->StopRequested());
            pump.join();
            ADD_FAILURE() << "CaptureLoop did not return";
            return E_ABORT;
        }
        pump.join();
        return result.get();
    }

    void SignalSample() { ASSERT_TRUE(SetEvent(capture->SampleReady())); }
    void SignalStop() { ASSERT_TRUE(SetEvent(capture->StopRequested())); }

    std::vector<BYTE> PatternBytes(UINT32 frames) {
        const std::vector<BYTE>& data = CaptureClient().data;
        return std::vector<BYTE>(data.begin(), data.begin() + frames * 4);
    }

    RecordingSink sink;
    long loopAllocations = -1;  // written by the pump thread before it ends
};

struct PacketCase {
    const char* name;
    std::vector<Packet> packets;
};

class CaptureLoopPackets : public CaptureLoopTest,
                           public ::testing::WithParamInterface<PacketCase> {};

TEST_P(CaptureLoopPackets, WritesEachPacketWholeThenFlushesThenReleases) {
    const std::vector<Packet>& packets = GetParam().packets;
    CaptureClient().Enqueue(packets);
    SignalSample();
    SignalStop();

    EXPECT_EQ(S_OK, RunLoop());

    std::vector<BYTE> expected;
    CallLog expectedCalls = {"GetNextPacketSize"};
    for (const Packet& packet : packets) {
        expectedCalls.push_back("GetBuffer");
        const UINT32 bytes = packet.frames * 4;
        if ((packet.flags & kSilent) != 0) {
            expected.insert(expected.end(), bytes, 0);
            if (bytes != 0) expectedCalls.push_back("write " + std::to_string(bytes));
        } else if (packet.content == Content::Pattern && bytes != 0) {
            const std::vector<BYTE> pattern = PatternBytes(packet.frames);
            expected.insert(expected.end(), pattern.begin(), pattern.end());
            expectedCalls.push_back("write " + std::to_string(bytes));
        }
        expectedCalls.push_back("flush");
        expectedCalls.push_back("ReleaseBuffer " + std::to_string(packet.frames));
        expectedCalls.push_back("GetNextPacketSize");
    }
    expectedCalls.push_back("Stop");
    EXPECT_EQ(expected, sink.received);
    EXPECT_EQ(expectedCalls, calls);
    EXPECT_EQ(0u, CaptureClient().Pending());
    EXPECT_FALSE(CaptureClient().positionsAsked);
}

const PacketCase kPacketCases[] = {
    {"OneDataPacket", {{480, 0, Content::Pattern}}},
    {"SilentPacketsIgnoreTheirDataPointer",
     {{480, kSilent, Content::Garbage}, {480, kSilent, Content::Null}}},
    {"ShorterSilenceAfterLongerGivesExactLength",
     {{960, kSilent, Content::Garbage},
      {100, kSilent, Content::Garbage},
      {7, 0, Content::Pattern},
      {480, kSilent, Content::Garbage}}},
    {"ZeroFramePacketsAreFlushedAndReleased",
     {{0, 0, Content::Pattern}, {0, kSilent, Content::Garbage}, {0, 0, Content::Null}}},
    {"OtherFlagsAreWrittenLikeData",
     {{480, kDiscontinuity, Content::Pattern},
      {1, AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR, Content::Pattern}}},
    {"NonSilentPacketWithoutDataContributesNothing",
     {{480, 0, Content::Null}, {480, 0, Content::Pattern}}},
};

INSTANTIATE_TEST_SUITE_P(Sequences, CaptureLoopPackets, ::testing::ValuesIn(kPacketCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureLoopTest, StopAloneStopsTheStreamWithoutWriting) {
    CaptureClient().Enqueue({{480, 0, Content::Pattern}});
    SignalStop();
    EXPECT_EQ(S_OK, RunLoop());
    EXPECT_EQ((CallLog{"Stop"}), calls);
    EXPECT_EQ(1u, CaptureClient().Pending());
}

TEST_F(CaptureLoopTest, StopResultIsIgnored) {
    audioClient->results["Stop"] = E_UNEXPECTED;
    SignalStop();
    EXPECT_EQ(S_OK, RunLoop());
}

TEST_F(CaptureLoopTest, NoAudioClientFailsAtOnceWithoutWaiting) {
    ComRef<LoopbackCapture> idle = MakeCapture();
    ASSERT_TRUE(idle);
    EXPECT_EQ(E_FAIL, idle->CaptureLoop(sink));
    EXPECT_EQ(0, sink.writes);
}

struct FailureCase {
    FakeCaptureClient::Call call;
    const char* name;
    int nth;
    HRESULT result;
    size_t packetsWritten;
};

class CaptureLoopFailures : public CaptureLoopTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CaptureLoopFailures, EndWithTheFailureWithoutStoppingAndWriteNothingAfter) {
    const FailureCase& c = GetParam();
    CaptureClient().Enqueue(
        {{480, 0, Content::Pattern}, {240, 0, Content::Pattern}, {480, 0, Content::Pattern}});
    CaptureClient().FailCall(c.call, c.nth, c.result);
    SignalSample();
    SignalStop();

    EXPECT_EQ(c.result, RunLoop());

    EXPECT_EQ(static_cast<int>(c.packetsWritten), sink.writes);
    for (const std::string& call : calls)
        EXPECT_NE("Stop", call);
    // Nothing is released after a failed GetBuffer; nothing at all follows a failure.
    EXPECT_EQ(c.name, calls.back().substr(0, std::string(c.name).size()));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CaptureLoopFailures,
    ::testing::Values(FailureCase{FakeCaptureClient::kGetNextPacketSize, "GetNextPacketSize", 1,
                                  AUDCLNT_E_DEVICE_INVALIDATED, 0},
                      FailureCase{FakeCaptureClient::kGetNextPacketSize, "GetNextPacketSize", 3,
                                  AUDCLNT_E_SERVICE_NOT_RUNNING, 2},
                      FailureCase{FakeCaptureClient::kGetBuffer, "GetBuffer", 2,
                                  AUDCLNT_E_BUFFER_ERROR, 1},
                      FailureCase{FakeCaptureClient::kReleaseBuffer, "ReleaseBuffer", 3,
                                  AUDCLNT_E_INVALID_SIZE, 3}),
    [](const auto& info) {
        return std::string(info.param.name) + "Call" + std::to_string(info.param.nth);
    });

TEST_F(CaptureLoopTest, SuccessCodesOtherThanOkCountAsSuccess) {
    CaptureClient().Enqueue({{480, 0, Content::Pattern}, {480, 0, Content::Pattern}});
    CaptureClient().FailCall(FakeCaptureClient::kGetNextPacketSize, 1, S_FALSE);
    CaptureClient().FailCall(FakeCaptureClient::kGetBuffer, 1, AUDCLNT_S_BUFFER_EMPTY);
    CaptureClient().FailCall(FakeCaptureClient::kReleaseBuffer, 2, S_FALSE);
    SignalSample();
    SignalStop();
    EXPECT_EQ(S_OK, RunLoop());
    // "Buffer empty" handed out nothing: the empty answer is released with 0
    // frames and both packets still come.
    EXPECT_EQ(2, sink.writes);
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "ReleaseBuffer 0"));
    EXPECT_EQ("Stop", calls.back());
}

TEST_F(CaptureLoopTest, DrainsAgainOnEveryWakeAndSeesTheStopAfterwards) {
    CaptureClient().Enqueue({{480, 0, Content::Pattern}});
    SignalSample();
    std::packaged_task<HRESULT()> task([this] { return capture->CaptureLoop(sink); });
    std::future<HRESULT> result = task.get_future();
    std::thread pump(std::move(task));
    // The first packet is drained, then the loop sleeps until the next wake.
    for (int i = 0; i < 500 && CaptureClient().Pending() != 0; ++i)
        Sleep(10);
    EXPECT_EQ(0u, CaptureClient().Pending());
    CaptureClient().Enqueue({{240, kSilent, Content::Garbage}});
    SignalSample();
    for (int i = 0; i < 500 && CaptureClient().Pending() != 0; ++i)
        Sleep(10);
    SignalStop();
    const bool finished = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!finished) SignalStop();
    pump.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(S_OK, result.get());
    EXPECT_EQ(2, sink.writes);
    EXPECT_EQ(480u * 4 + 240u * 4, sink.received.size());
}

TEST_F(CaptureLoopTest, AFailedWaitEndsTheLoopWithAFailure) {
    LoopbackCaptureTestAccess::SetWaitHandle(*capture.Get(), 0, nullptr);
    const HRESULT result = RunLoop();
    EXPECT_LT(result, 0);
    EXPECT_EQ(0, sink.writes);
}

TEST_F(CaptureLoopTest, SteadySilenceAllocatesOnlyWhenTheBufferGrows) {
    calls.clear();
    audioClient->log = nullptr;
    CaptureClient().log = nullptr;
    sink.log = nullptr;
    sink.keepBytes = false;
    std::vector<Packet> packets(2000, Packet{480, kSilent, Content::Garbage});
    packets.push_back(Packet{960, kSilent, Content::Garbage});
    packets.insert(packets.end(), 2000, Packet{480, kSilent, Content::Garbage});
    CaptureClient().Enqueue(packets);
    SignalSample();
    SignalStop();

    EXPECT_EQ(S_OK, RunLoop());
    EXPECT_EQ(4001, sink.writes);
    EXPECT_EQ(4001, sink.flushes);
    EXPECT_EQ((4000u * 480 + 960) * 4, sink.bytesWritten);
    // One growth to 480 frames, one to 960.
    EXPECT_EQ(2, loopAllocations);
}

}  // namespace
