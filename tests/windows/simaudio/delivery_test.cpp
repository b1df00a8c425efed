// What the simulated device delivers for a scenario, how it paces and wakes
// the consumer, and the record lines of a capture.
#include <objbase.h>

#include <cstring>
#include <string>

#include "tests/windows/simaudio/stack_fixture.h"

namespace {

struct Received {
    UINT32 frames;
    DWORD flags;
    UINT64 position;
    bool dataNull;
    bool dataReadable;
    // Frames that differ from the expected pattern (data packets only).
    UINT32 wrongFrames;
};

// Frame p of the pattern: channel 0 in the low half, channel 1 in the high.
UINT32 ExpectedFrame(UINT64 position) {
    return static_cast<UINT32>(0x5A5A0000u + position);
}

// Takes every queued packet; `expectedPosition` follows data and silent ones.
void Drain(IAudioCaptureClient& capture, std::vector<Received>& received,
           UINT64& expectedPosition) {
    UINT32 next = 0;
    ASSERT_EQ(S_OK, capture.GetNextPacketSize(&next));
    while (next != 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 position = 0;
        UINT64 qpc = 0;
        ASSERT_EQ(S_OK, capture.GetBuffer(&data, &frames, &flags, &position, &qpc));
        Received packet{frames, flags, position, data == nullptr, data != nullptr && Readable(data),
                        0};
        if (packet.dataReadable && (flags & AUDCLNT_BUFFERFLAGS_SILENT) == 0) {
            for (UINT32 i = 0; i < frames; ++i) {
                UINT32 frame = 0;
                std::memcpy(&frame, data + size_t{i} * 4, sizeof frame);
                if (frame != ExpectedFrame(expectedPosition + i)) ++packet.wrongFrames;
            }
        }
        if (!packet.dataNull) expectedPosition += frames;
        received.push_back(packet);
        ASSERT_EQ(S_OK, capture.ReleaseBuffer(frames));
        ASSERT_EQ(S_OK, capture.GetNextPacketSize(&next));
    }
}

// Waits for wakes and drains until `packets` packets have arrived.
void Receive(IAudioCaptureClient& capture, HANDLE sampleReady, size_t packets,
             std::vector<Received>& received) {
    UINT64 position = 0;
    for (const Received& packet : received)
        position += packet.dataNull ? 0 : packet.frames;
    while (received.size() < packets) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sampleReady, kWaitMilliseconds))
            << "only " << received.size() << " packets arrived";
        ASSERT_NO_FATAL_FAILURE(Drain(capture, received, position));
    }
}

class DeliveryTest : public StackTest {
protected:
    void StartWith(const char* scenario) {
        ASSERT_NO_FATAL_FAILURE(Load(scenario));
        ASSERT_NO_FATAL_FAILURE(StartStream(handler, client, capture, sampleReady));
        handler.activated.Reset();
    }
    std::vector<std::string> StopAndUnload() {
        EXPECT_EQ(S_OK, client->Stop());
        capture.Reset();
        client.Reset();
        return Unload();
    }

    // Waits for the first wake, checks how many packets it queued, then
    // receives until `packets` packets have arrived.
    void ReceiveAfterFirstWake(DWORD wait, size_t firstWakePackets, size_t packets) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sampleReady.Get(), wait));
        const std::vector<std::string> record = RecordSoFar();
        const size_t wake = Find(record, "Wake ");
        ASSERT_LT(wake, record.size());
        EXPECT_EQ("Wake packets=" + std::to_string(firstWakePackets), record[wake]);
        std::vector<Received> received;
        UINT64 position = 0;
        ASSERT_NO_FATAL_FAILURE(Drain(*capture.Get(), received, position));
        ASSERT_NO_FATAL_FAILURE(Receive(*capture.Get(), sampleReady.Get(), packets, received));
    }

    TestHandler handler;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    UniqueHandle sampleReady;
};

TEST_F(DeliveryTest, DeliversDataSilentAndEmptyPacketsInOrder) {
    ASSERT_NO_FATAL_FAILURE(
        StartWith("data 480 2\nsilent 480\nsilent 0\nnodata 240 flags=0x4\nloop 2\n  data 100 "
                  "flags=0x1\nend\n"));
    std::vector<Received> received;
    ASSERT_NO_FATAL_FAILURE(Receive(*capture.Get(), sampleReady.Get(), 7, received));
    const std::vector<std::string> record = StopAndUnload();

    struct Expected {
        UINT32 frames;
        DWORD flags;
        bool dataNull;
        bool dataReadable;
        UINT64 position;
    };
    // The first packet after Start follows nothing: it carries the
    // discontinuity flag, as on the platform.
    const Expected expected[] = {{480, 1, false, true, 0},    {480, 0, false, true, 480},
                                 {480, 2, false, false, 960}, {0, 2, false, false, 1440},
                                 {240, 4, true, false, 1440}, {100, 1, false, true, 1440},
                                 {100, 1, false, true, 1540}};
    ASSERT_EQ(7u, received.size());
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(expected[i].frames, received[i].frames) << "packet " << i;
        EXPECT_EQ(expected[i].flags, received[i].flags) << "packet " << i;
        EXPECT_EQ(expected[i].dataNull, received[i].dataNull) << "packet " << i;
        EXPECT_EQ(expected[i].dataReadable, received[i].dataReadable) << "packet " << i;
        EXPECT_EQ(0u, received[i].wrongFrames) << "packet " << i;
        if (!received[i].dataNull) {
            EXPECT_EQ(expected[i].position, received[i].position) << "packet " << i;
        }
    }
    EXPECT_EQ(7u, CountOf(record, "Wake packets=1"));
    // An empty packet is announced as pending and goes with its release.
    EXPECT_TRUE(Contains(record, "GetNextPacketSize -> 0x00000000 frames=1"));
    EXPECT_TRUE(Contains(record, "ReleaseBuffer frames=0 -> 0x00000000"));
    EXPECT_EQ(1u, CountOf(record,
                          "GetBuffer -> 0x00000000 frames=480 flags=0x00000001 "
                          "data=pattern position=set qpc=set"));
    EXPECT_EQ(1u, CountOf(record,
                          "GetBuffer -> 0x00000000 frames=480 flags=0x00000000 "
                          "data=pattern position=set qpc=set"));
    EXPECT_TRUE(Contains(record,
                         "GetBuffer -> 0x00000000 frames=480 flags=0x00000002 "
                         "data=garbage position=set qpc=set"));
    EXPECT_TRUE(Contains(record,
                         "GetBuffer -> 0x00000000 frames=240 flags=0x00000004 "
                         "data=null position=set qpc=set"));
    EXPECT_EQ(2u, CountOf(record, "ReleaseBuffer frames=100 -> 0x00000000"));
    EXPECT_TRUE(Contains(record,
                         "Initialize sharemode=0 flags=0x00060000 duration=2000000 "
                         "periodicity=0 format=0100020080bb000000ee0200040010000000 "
                         "session=null -> 0x00000000"));
    EXPECT_TRUE(Contains(record, "Stop -> 0x00000000"));
    EXPECT_TRUE(Contains(record, "Destroyed object=CaptureClient apartment=none"));
}

TEST_F(DeliveryTest, PrefilledPacketsArePendingWhenStartReturns) {
    ASSERT_NO_FATAL_FAILURE(StartWith("prefill data 480 3\ndata 480\n"));
    // Nothing is waited for: the wake has happened when Start returns.
    ASSERT_NO_FATAL_FAILURE(ReceiveAfterFirstWake(0, 3, 4));
    const std::vector<std::string> record = StopAndUnload();
    EXPECT_LT(Find(record, "Wake packets=3"), Find(record, "Start -> 0x00000000"));
}

TEST_F(DeliveryTest, BatchQueuesSeveralPacketsPerWake) {
    ASSERT_NO_FATAL_FAILURE(StartWith("batch 3\ndata 480 6\n"));
    ASSERT_NO_FATAL_FAILURE(ReceiveAfterFirstWake(kWaitMilliseconds, 3, 6));
    const std::vector<std::string> record = StopAndUnload();
    EXPECT_EQ(2u, CountOf(record, "Wake packets=3"));
    EXPECT_EQ(0u, CountOf(record, "Wake packets=1"));
}

TEST_F(DeliveryTest, SpuriousWakesComeWithoutPackets) {
    ASSERT_NO_FATAL_FAILURE(StartWith("spurious 2\ndata 480\n"));
    std::vector<Received> received;
    ASSERT_NO_FATAL_FAILURE(Receive(*capture.Get(), sampleReady.Get(), 1, received));
    const std::vector<std::string> record = StopAndUnload();
    EXPECT_EQ(2u, CountOf(record, "Wake packets=0"));
    EXPECT_LT(Find(record, "Wake packets=0"), Find(record, "Wake packets=1"));
}

TEST_F(DeliveryTest, FastPacingWaitsUntilEachWakeIsConsumed) {
    ASSERT_NO_FATAL_FAILURE(StartWith("data 480 5\n"));
    for (size_t i = 1; i <= 5; ++i) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sampleReady.Get(), kWaitMilliseconds));
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        ASSERT_EQ(S_OK, capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
        // Time enough for a device that did not wait to deliver the next one.
        Sleep(20);
        EXPECT_EQ(i, CountOf(RecordSoFar(), "Wake packets=1"))
            << "a packet was delivered before the last one was taken";
        ASSERT_EQ(S_OK, capture->ReleaseBuffer(frames));
    }
    StopAndUnload();
}

TEST_F(DeliveryTest, RealtimePacingDeliversWithoutAConsumer) {
    ASSERT_NO_FATAL_FAILURE(StartWith("pacing realtime\ndata 48 5\n"));
    ASSERT_TRUE(WaitForRecordLine("Wake packets=1", 5));
    std::vector<Received> received;
    UINT64 position = 0;
    ASSERT_NO_FATAL_FAILURE(Drain(*capture.Get(), received, position));
    EXPECT_EQ(5u, received.size());
    StopAndUnload();
}

// The engine buffer: in real time it holds the Initialize duration; packets
// beyond it go, oldest first, and the next packet handed out says so. The
// first packet after Start carries the same flag.
struct OverflowCase {
    const char* name;
    const char* scenario;
    REFERENCE_TIME duration;
    // The consumer holds the first packet while the rest arrive.
    bool holdFirst;
    size_t received;
    // Index among the received packets of the one that carries the flag
    // (none when nothing is dropped), and its stream position.
    size_t flagged;
    UINT64 flaggedPosition;
    UINT32 dropped;
};

constexpr size_t kNone = ~size_t{0};

const OverflowCase kOverflowCases[] = {
    {"RealTimeKeepsTheNewest200Ms", "pacing realtime\ndata 480 40\n", 2000000, false, 20, 0,
     20 * 480, 20},
    {"CapacityComesFromInitialize", "pacing realtime\ndata 480 40\n", 1000000, false, 10, 0,
     30 * 480, 30},
    {"AHeldPacketStaysAndTheGapFollowsIt", "pacing realtime\ndata 480 40\n", 2000000, true, 20, 1,
     21 * 480, 20},
    {"WithinTheBufferNothingIsDropped", "pacing realtime\ndata 480 15\n", 2000000, false, 15, kNone,
     0, 0},
    {"FastPacingWaitsForTheConsumerInstead", "batch 40\ndata 480 40\n", 2000000, false, 40, kNone,
     0, 0},
};

class OverflowTest : public StackTest, public testing::WithParamInterface<OverflowCase> {
protected:
    // Packets delivered so far, by the wake lines of the record.
    size_t Delivered() const {
        size_t packets = 0;
        for (const std::string& line : RecordSoFar()) {
            if (line.compare(0, 13, "Wake packets=") == 0) packets += std::stoul(line.substr(13));
        }
        return packets;
    }
};

TEST_P(OverflowTest, DropsTheOldestWholePacketsAndFlagsTheNext) {
    const OverflowCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Load(c.scenario));
    TestHandler handler;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    UniqueHandle sampleReady;
    ASSERT_NO_FATAL_FAILURE(
        StartStream(handler, client, capture, sampleReady, ActivationRequest(), c.duration));
    handler.activated.Reset();

    struct Taken {
        UINT32 frames;
        DWORD flags;
        UINT64 position;
        UINT32 wrongFrames;
    };
    std::vector<Taken> taken;
    const auto take = [&](bool release) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 position = 0;
        ASSERT_EQ(S_OK, capture->GetBuffer(&data, &frames, &flags, &position, nullptr));
        ASSERT_NE(nullptr, data);
        Taken packet{frames, flags, position, 0};
        for (UINT32 i = 0; i < frames; ++i) {
            UINT32 frame = 0;
            std::memcpy(&frame, data + size_t{i} * 4, sizeof frame);
            packet.wrongFrames += frame != ExpectedFrame(position + i) ? 1 : 0;
        }
        taken.push_back(packet);
        if (release) {
            ASSERT_EQ(S_OK, capture->ReleaseBuffer(frames));
        }
    };
    if (c.holdFirst) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sampleReady.Get(), kWaitMilliseconds));
        ASSERT_NO_FATAL_FAILURE(take(false));
    }
    // Fast pacing would wait for a consumer that is not there yet: it gets
    // its one wake of 40 packets at once.
    const ULONGLONG deadline = GetTickCount64() + kWaitMilliseconds;
    while (Delivered() < c.received + c.dropped && GetTickCount64() < deadline)
        Sleep(5);
    if (c.holdFirst) {
        ASSERT_EQ(S_OK, capture->ReleaseBuffer(taken[0].frames));
    }
    UINT32 next = 0;
    ASSERT_EQ(S_OK, capture->GetNextPacketSize(&next));
    while (next != 0) {
        ASSERT_NO_FATAL_FAILURE(take(true));
        ASSERT_EQ(S_OK, capture->GetNextPacketSize(&next));
    }
    EXPECT_EQ(S_OK, client->Stop());
    capture.Reset();
    client.Reset();
    const std::vector<std::string> record = Unload();

    ASSERT_EQ(c.received, taken.size()) << Joined(record);
    for (size_t i = 0; i < taken.size(); ++i) {
        EXPECT_EQ(480u, taken[i].frames) << "packet " << i;
        EXPECT_EQ(0u, taken[i].wrongFrames) << "packet " << i;
        EXPECT_EQ(
            i == 0 || i == c.flagged ? DWORD{AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY} : DWORD{0},
            taken[i].flags)
            << "packet " << i;
        if (i == c.flagged) {
            EXPECT_EQ(c.flaggedPosition, taken[i].position);
        }
        // Whole packets go: the stream runs on without a gap after the flag.
        if (i > 0 && i != c.flagged) {
            EXPECT_EQ(taken[i - 1].position + 480, taken[i].position) << "packet " << i;
        }
    }
    UINT32 droppedPackets = 0;
    UINT64 droppedFrames = 0;
    for (const std::string& line : record) {
        if (line.compare(0, 17, "Overflow dropped=") != 0) continue;
        const size_t frames = line.find(" frames=");
        ASSERT_NE(std::string::npos, frames) << line;
        droppedPackets += static_cast<UINT32>(std::stoul(line.substr(17, frames - 17)));
        droppedFrames += std::stoull(line.substr(frames + 8));
    }
    EXPECT_EQ(c.dropped, droppedPackets);
    EXPECT_EQ(UINT64{c.dropped} * 480, droppedFrames);
}

INSTANTIATE_TEST_SUITE_P(Cases, OverflowTest, testing::ValuesIn(kOverflowCases), CaseName());

TEST_F(DeliveryTest, LongLoopsUnfoldLazilyAndStopPromptly) {
    ASSERT_NO_FATAL_FAILURE(
        StartWith("record-packets off\nloop 4000000000\n loop 4000000000\n  data 480\n  silent 480 "
                  "4000000000\n end\nend\n"));
    std::vector<Received> received;
    ASSERT_NO_FATAL_FAILURE(Receive(*capture.Get(), sampleReady.Get(), 4, received));
    EXPECT_EQ(DWORD{AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY}, received[0].flags);
    EXPECT_EQ(0u, received[0].wrongFrames);
    EXPECT_EQ(AUDCLNT_BUFFERFLAGS_SILENT, received[3].flags);
    EXPECT_EQ(1440u, received[3].position);
    const std::vector<std::string> record = StopAndUnload();
    EXPECT_EQ(record.size(), Find(record, "Wake "));
    EXPECT_EQ(record.size(), Find(record, "GetBuffer "));
    EXPECT_TRUE(Contains(record, "Start -> 0x00000000"));
}

TEST_F(DeliveryTest, StopAndStartResumeTheStream) {
    ASSERT_NO_FATAL_FAILURE(StartWith("data 480 4\n"));
    // Take the first packet alone. The device then queues the second and
    // waits until it is taken: that one is captured before the stop.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sampleReady.Get(), kWaitMilliseconds));
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD firstFlags = 0;
    ASSERT_EQ(S_OK, capture->GetBuffer(&data, &frames, &firstFlags, nullptr, nullptr));
    ASSERT_EQ(S_OK, capture->ReleaseBuffer(frames));
    std::vector<Received> received = {{frames, firstFlags, 0, false, true, 0}};
    ASSERT_TRUE(WaitForRecordLine("Wake packets=1", 2));
    ASSERT_EQ(S_OK, client->Stop());
    ASSERT_EQ(S_OK, client->Start());
    ASSERT_NO_FATAL_FAILURE(Receive(*capture.Get(), sampleReady.Get(), 4, received));
    EXPECT_EQ(1440u, received[3].position);
    EXPECT_EQ(0u, received[3].wrongFrames);
    // The first packet captured after each Start carries the discontinuity
    // flag.
    const DWORD flags[] = {AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0,
                           AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(flags[i], received[i].flags) << "packet " << i;
    StopAndUnload();
}

struct EventCase {
    const char* name;
    BOOL manual;
    BOOL signaled;
    DWORD access;
    const char* description;
};

const EventCase kEventCases[] = {
    {"AutoUnsignaledFullAccess", FALSE, FALSE, EVENT_ALL_ACCESS,
     "SetEventHandle handle=set type=auto signaled=0 access=0x001f0003 -> 0x00000000"},
    {"ManualSignaledModifyOnly", TRUE, TRUE, SYNCHRONIZE | EVENT_MODIFY_STATE,
     "SetEventHandle handle=set type=manual signaled=1 access=0x00100002 -> 0x00000000"},
};

class EventRecordTest : public StackTest, public testing::WithParamInterface<EventCase> {};

TEST_P(EventRecordTest, DescribesTheConsumersEvent) {
    const EventCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Load(""));
    TestHandler handler;
    ComPtr<IAudioClient> client;
    ASSERT_NO_FATAL_FAILURE(ActivateClient(handler, client));
    handler.activated.Reset();
    const WAVEFORMATEX format = DeviceFormat();
    ASSERT_EQ(S_OK, client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventStreamFlags, 0, 0, &format,
                                       nullptr));
    const DWORD flags =
        (c.manual ? CREATE_EVENT_MANUAL_RESET : 0) | (c.signaled ? CREATE_EVENT_INITIAL_SET : 0);
    UniqueHandle event(CreateEventExW(nullptr, nullptr, flags, c.access));
    ASSERT_TRUE(event);
    ASSERT_EQ(S_OK, client->SetEventHandle(event.Get()));
    client.Reset();
    const std::vector<std::string> record = Unload();
    EXPECT_TRUE(Contains(record, c.description)) << Joined(record);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventRecordTest, testing::ValuesIn(kEventCases), CaseName());

struct ApartmentCase {
    const char* name;
    bool releaseInsideRuntime;
    const char* line;
};

const ApartmentCase kApartmentCases[] = {
    {"ReleasedInsideTheRuntime", true, "Destroyed object=AudioClient apartment=mta"},
    {"ReleasedAfterUninitialize", false, "Destroyed object=AudioClient apartment=none"},
};

class ApartmentTest : public StackTest, public testing::WithParamInterface<ApartmentCase> {};

TEST_P(ApartmentTest, RecordsTheReleasingThreadsApartment) {
    ASSERT_NO_FATAL_FAILURE(Load(nullptr));
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    TestHandler handler;
    ComPtr<IAudioClient> client;
    ASSERT_NO_FATAL_FAILURE(ActivateClient(handler, client));
    handler.activated.Reset();
    // The operation holds the client too; it goes once the callback is over.
    ASSERT_TRUE(WaitForRecordLine("Destroyed object=Operation apartment=mta"));
    if (GetParam().releaseInsideRuntime) client.Reset();
    CoUninitialize();
    client.Reset();
    const std::vector<std::string> record = Unload();
    EXPECT_TRUE(Contains(record, GetParam().line)) << Joined(record);
}

INSTANTIATE_TEST_SUITE_P(Cases, ApartmentTest, testing::ValuesIn(kApartmentCases), CaseName());

}  // namespace
