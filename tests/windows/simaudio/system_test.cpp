// The simulated system: processes playing tones, a timeline of play, quiet
// and idle, and captures that hear a process tree or everything else.
#include <cmath>
#include <cstring>

#include "tests/windows/simaudio/stack_fixture.h"

namespace {

constexpr double kFullScale = 32767;
constexpr double kToneAmplitude = 0.25;
constexpr double kTwoPi = 6.283185307179586;

struct Heard {
    UINT32 frames;
    DWORD flags;
    bool dataNull;
    bool dataReadable;
    // Channel 0 of a readable packet; empty otherwise.
    std::vector<INT16> left;
    // Frames whose two channels differ.
    UINT32 unequalChannels;
};

// The amplitude of `hz` in `samples`, as a fraction of full scale. The
// windows the tests use hold whole cycles of every tone, so tones do not leak
// into one another.
double Amplitude(const std::vector<INT16>& samples, double hz) {
    double re = 0;
    double im = 0;
    for (size_t n = 0; n < samples.size(); ++n) {
        const double angle = kTwoPi * hz * static_cast<double>(n) / 48000;
        re += samples[n] * std::cos(angle);
        im -= samples[n] * std::sin(angle);
    }
    return 2 * std::sqrt(re * re + im * im) / static_cast<double>(samples.size()) / kFullScale;
}

class SystemTest : public StackTest {
protected:
    void StartWith(const char* scenario, DWORD processId, DWORD mode) {
        ASSERT_NO_FATAL_FAILURE(Load(scenario));
        ActivationRequest request;
        request.SetParameters(AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, processId, mode);
        ASSERT_NO_FATAL_FAILURE(StartStream(handler, client, capture, sampleReady, request));
        handler.activated.Reset();
    }

    // Waits until the timeline has been delivered, then takes every packet.
    void ListenToTheEnd() {
        ASSERT_TRUE(WaitForRecordLine("DeliveryEnd"));
        UINT32 next = 0;
        ASSERT_EQ(S_OK, capture->GetNextPacketSize(&next));
        while (next != 0) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            ASSERT_EQ(S_OK, capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
            Heard packet{frames, flags, data == nullptr, data != nullptr && Readable(data), {}, 0};
            if (packet.dataReadable) {
                for (UINT32 i = 0; i < frames; ++i) {
                    INT16 channels[2];
                    std::memcpy(channels, data + size_t{i} * 4, sizeof channels);
                    packet.left.push_back(channels[0]);
                    packet.unequalChannels += channels[0] != channels[1] ? 1 : 0;
                }
            }
            heard.push_back(packet);
            ASSERT_EQ(S_OK, capture->ReleaseBuffer(frames));
            ASSERT_EQ(S_OK, capture->GetNextPacketSize(&next));
        }
    }

    std::vector<std::string> StopAndUnload() {
        EXPECT_EQ(S_OK, client->Stop());
        capture.Reset();
        client.Reset();
        return Unload();
    }

    TestHandler handler;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    UniqueHandle sampleReady;
    std::vector<Heard> heard;
};

// Root 100 has a silent child 101, whose child 102 plays; 200 is another tree.
const char kTreeScenario[] =
    "process 100 parent=1 tone=1010\n"
    "process 101 parent=100 tone=0\n"
    "process 102 parent=101 tone=3030\n"
    "process 200 parent=1 tone=5050\n"
    "play 100\n";

struct TreeCase {
    const char* name;
    DWORD processId;
    DWORD mode;
    std::vector<double> playing;
    std::vector<double> silent;
};

const TreeCase kTreeCases[] = {
    {"IncludeRootHearsChildrenAndGrandchildren",
     100,
     PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE,
     {1010, 3030},
     {5050}},
    {"IncludeChildHearsItsSubtreeOnly",
     101,
     PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE,
     {3030},
     {1010, 5050}},
    {"ExcludeRootHearsTheOtherTree",
     100,
     PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE,
     {5050},
     {1010, 3030}},
    {"ExcludeGrandchildHearsTheRest",
     102,
     PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE,
     {1010, 5050},
     {3030}},
    {"ExcludeUnknownProcessHearsEverything",
     999,
     PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE,
     {1010, 3030, 5050},
     {}},
    {"IncludeUnknownProcessGetsNoPackets",
     999,
     PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE,
     {},
     {1010, 3030, 5050}},
};

class TreeTest : public SystemTest, public testing::WithParamInterface<TreeCase> {};

TEST_P(TreeTest, HearsTheTonesOfTheSelectedProcessesOnly) {
    const TreeCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartWith(kTreeScenario, c.processId, c.mode));
    ASSERT_NO_FATAL_FAILURE(ListenToTheEnd());
    StopAndUnload();

    std::vector<INT16> left;
    for (size_t i = 0; i < heard.size(); ++i) {
        // The first packet after Start carries the discontinuity flag.
        EXPECT_EQ(i == 0 ? DWORD{AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY} : 0u, heard[i].flags)
            << "packet " << i;
        EXPECT_EQ(480u, heard[i].frames) << "packet " << i;
        EXPECT_EQ(0u, heard[i].unequalChannels) << "packet " << i;
        left.insert(left.end(), heard[i].left.begin(), heard[i].left.end());
    }
    // Nothing selected plays: the device sends nothing, as the platform does.
    ASSERT_EQ(c.playing.empty() ? 0u : 10u, heard.size());
    if (c.playing.empty()) return;
    for (double hz : c.playing) {
        EXPECT_NEAR(kToneAmplitude, Amplitude(left, hz), 0.001) << hz << " Hz";
    }
    for (double hz : c.silent)
        EXPECT_LT(Amplitude(left, hz), 0.001) << hz << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Cases, TreeTest, testing::ValuesIn(kTreeCases), CaseName());

TEST_F(SystemTest, QuietSendsNothingIdleSendsSilenceAndTheToneKeepsTime) {
    ASSERT_NO_FATAL_FAILURE(
        StartWith("process 10 parent=1 tone=1010\n"
                  "process 11 parent=10 tone=0\n"
                  "loop 2\n  play 50\n  quiet 105\nend\n"
                  "idle 50\n"
                  "play 50\n",
                  10, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE));
    ASSERT_NO_FATAL_FAILURE(ListenToTheEnd());
    const std::vector<std::string> record = StopAndUnload();

    // Each packet and where on the timeline it starts, in milliseconds.
    struct Expected {
        bool tone;
        UINT32 start;
    };
    std::vector<Expected> expected;
    for (UINT32 start : {0u, 155u, 360u}) {
        for (UINT32 i = 0; i < 5; ++i)
            expected.push_back({true, start + 10 * i});
        if (start == 155) {
            for (UINT32 i = 0; i < 5; ++i)
                expected.push_back({false, 310 + 10 * i});
        }
    }
    ASSERT_EQ(expected.size(), heard.size());
    for (size_t i = 0; i < heard.size(); ++i) {
        const Heard& packet = heard[i];
        EXPECT_EQ(480u, packet.frames) << "packet " << i;
        if (!expected[i].tone) {
            EXPECT_EQ(AUDCLNT_BUFFERFLAGS_SILENT, packet.flags) << "packet " << i;
            EXPECT_FALSE(packet.dataNull) << "packet " << i;
            EXPECT_FALSE(packet.dataReadable) << "packet " << i;
            continue;
        }
        EXPECT_EQ(i == 0 ? DWORD{AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY} : 0u, packet.flags)
            << "packet " << i;
        ASSERT_EQ(480u, packet.left.size()) << "packet " << i;
        EXPECT_EQ(0u, packet.unequalChannels) << "packet " << i;
        UINT32 wrong = 0;
        for (UINT32 n = 0; n < 480; ++n) {
            const double frame = expected[i].start * 48.0 + n;
            const double value =
                kToneAmplitude * kFullScale * std::sin(kTwoPi * 1010 * frame / 48000);
            wrong += std::fabs(packet.left[n] - value) > 1 ? 1 : 0;
        }
        EXPECT_EQ(0u, wrong) << "packet " << i << " starting at " << expected[i].start << " ms";
    }
    EXPECT_EQ(1u, CountOf(record,
                          "GetBuffer -> 0x00000000 frames=480 flags=0x00000001 "
                          "data=tone position=null qpc=null"));
    EXPECT_EQ(14u, CountOf(record,
                           "GetBuffer -> 0x00000000 frames=480 flags=0x00000000 "
                           "data=tone position=null qpc=null"));
    EXPECT_EQ(5u, CountOf(record,
                          "GetBuffer -> 0x00000000 frames=480 flags=0x00000002 "
                          "data=garbage position=null qpc=null"));
}

}  // namespace
