// Each playback stream decided once, from tables of graph events: whose it
// is, whether it re-plays others (virtual sinks, filter chains, loopbacks),
// JACK clients that feed a sink, and the channels their ports carry.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "linux/pipewire/playback_graph.h"

namespace {

constexpr uint32_t kPlayer = 4000, kBridgePid = 300, kLoopbackPid = 4100, kJackPid = 5000;
// A sandboxed player says 3; the host knows it as kSandboxedOnHost.
constexpr uint32_t kSandboxedClaim = 3, kSandboxedOnHost = 6003;

// Clients, nodes and ports by id.
constexpr uint32_t kPlayerClient = 10, kBridgeClient = 11, kLoopbackClient = 12, kJackClient = 13;
constexpr uint32_t kSink = 30, kSinkFL = 31, kSinkFR = 32, kSinkMonitorFL = 33;
constexpr uint32_t kSource = 35, kSourceFL = 36;
constexpr uint32_t kStream = 40, kStreamFL = 41, kStreamFR = 42, kStreamMonitor = 43;
constexpr uint32_t kLoopOut = 50, kLoopSide = 51;
constexpr uint32_t kJack = 60, kJackOut1 = 61, kJackOut2 = 62;

class Recorder : public GraphObserver {
public:
    void OnStreamDecided(const StreamDecision& decision) override { decisions.push_back(decision); }
    void OnStreamPort(const StreamPort& port) override { ports.push_back(port); }
    void OnInputPort(uint32_t port, uint32_t node, const std::string& channel) override {
        inputs.push_back(std::to_string(port) + "@" + std::to_string(node) + ":" + channel);
    }
    void OnRemoved(uint32_t id) override { removed.push_back(id); }

    std::vector<StreamDecision> decisions;
    std::vector<StreamPort> ports;
    std::vector<std::string> inputs;
    std::vector<uint32_t> removed;
};

std::optional<uint32_t> ResolveOnHost(const PidClaim& claim) {
    if (claim.pid == kSandboxedClaim) {
        return claim.binary == "paplay" ? std::optional<uint32_t>(kSandboxedOnHost) : std::nullopt;
    }
    return claim.pid;
}

NodeDescription InGroup(const std::string& group, bool capturesSink = false) {
    NodeDescription description;
    description.linkGroup = group;
    description.capturesSinkMonitor = capturesSink;
    return description;
}

PortGlobal Port(uint32_t node, bool output, const std::string& channel, bool monitor = false) {
    PortGlobal port;
    port.node = node;
    port.output = output;
    port.channel = channel;
    port.monitor = monitor;
    return port;
}

// The default sink and a microphone, with the clients of every case.
void Desktop(PlaybackGraph& graph) {
    graph.AddClient(kPlayerClient, ClientGlobal{kPlayer, false});
    graph.AddClient(kBridgeClient, ClientGlobal{kBridgePid, true});
    graph.AddClient(kLoopbackClient, ClientGlobal{kLoopbackPid, false});
    graph.AddClient(kJackClient, ClientGlobal{kJackPid, false});
    graph.AddNode(kSink, NodeGlobal{"Audio/Sink", std::nullopt, "default"});
    graph.DescribeNode(kSink, NodeDescription{});
    graph.AddPort(kSinkFL, Port(kSink, false, "FL"));
    graph.AddPort(kSinkFR, Port(kSink, false, "FR"));
    graph.AddPort(kSinkMonitorFL, Port(kSink, true, "FL", true));
    graph.AddNode(kSource, NodeGlobal{"Audio/Source", std::nullopt, {}});
    graph.DescribeNode(kSource, NodeDescription{});
    graph.AddPort(kSourceFL, Port(kSource, true, "FL"));
}

// A loopback: its playback side, then its other side of the given class.
void Loopback(PlaybackGraph& graph, const std::string& otherClass, bool capturesSink = false) {
    graph.AddNode(kLoopOut, NodeGlobal{"Stream/Output/Audio", kLoopbackClient, {}});
    graph.DescribeNode(kLoopOut, InGroup("loopback-1"));
    graph.AddNode(kLoopSide, NodeGlobal{otherClass, kLoopbackClient, {}});
    graph.DescribeNode(kLoopSide, InGroup("loopback-1", capturesSink));
}

struct DecisionCase {
    const char* what;
    std::function<void(PlaybackGraph&)> events;
    // Every decision reported, in order.
    std::vector<StreamDecision> decisions;
};

TEST(PlaybackGraph, DecidesWhosePlaysAndWhoReplays) {
    const DecisionCase cases[] = {
        {"a native stream: its client's socket pid",
         [](PlaybackGraph& graph) {
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
             graph.DescribeNode(kStream, NodeDescription{});
         },
         {{kStream, kPlayer, false}}},
        {"a bridge stream waits for its client's word, then the host pid it stands for",
         [](PlaybackGraph& graph) {
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kBridgeClient, {}});
             NodeDescription node;
             node.fromPulseBridge = true;
             node.claimedPid = kSandboxedClaim;
             graph.DescribeNode(kStream, node);
             ClientDescription client;
             client.fromPulseBridge = true;
             client.claimedPid = kSandboxedClaim;
             client.claimedBinary = "paplay";
             graph.DescribeClient(kBridgeClient, client);
         },
         {{kStream, kSandboxedOnHost, false}}},
        {"a claim that stands for no host process: no owner",
         [](PlaybackGraph& graph) {
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kBridgeClient, {}});
             graph.DescribeNode(kStream, NodeDescription{});
             ClientDescription client;
             client.fromPulseBridge = true;
             client.claimedPid = kSandboxedClaim;
             client.claimedBinary = "other";
             graph.DescribeClient(kBridgeClient, client);
         },
         {{kStream, std::nullopt, false}}},
        {"a stream is not decided before its own properties arrive",
         [](PlaybackGraph& graph) {
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
         },
         {}},
        {"virtual sink: its playback side re-plays",
         [](PlaybackGraph& graph) { Loopback(graph, "Audio/Sink"); },
         {{kLoopOut, kLoopbackPid, true}}},
        {"filter chain whose sink side comes first",
         [](PlaybackGraph& graph) {
             graph.AddNode(kLoopSide, NodeGlobal{"Audio/Sink", kLoopbackClient, {}});
             graph.DescribeNode(kLoopSide, InGroup("loopback-1"));
             graph.AddNode(kLoopOut, NodeGlobal{"Stream/Output/Audio", kLoopbackClient, {}});
             graph.DescribeNode(kLoopOut, InGroup("loopback-1"));
         },
         {{kLoopOut, kLoopbackPid, true}}},
        {"a group member of another group does not count",
         [](PlaybackGraph& graph) {
             graph.AddNode(kLoopOut, NodeGlobal{"Stream/Output/Audio", kLoopbackClient, {}});
             graph.DescribeNode(kLoopOut, InGroup("loopback-1"));
             graph.AddNode(kLoopSide, NodeGlobal{"Audio/Sink", kLoopbackClient, {}});
             graph.DescribeNode(kLoopSide, InGroup("loopback-2"));
         },
         {}},
        {"loopback from a sink's monitor re-plays, once its capture side is fed",
         [](PlaybackGraph& graph) {
             Loopback(graph, "Stream/Input/Audio");
             graph.AddLink(70, LinkGlobal{kSink, kSinkMonitorFL, kLoopSide, 80});
         },
         {{kLoopOut, kLoopbackPid, true}}},
        {"loopback that asks for a sink's monitor re-plays at once",
         [](PlaybackGraph& graph) { Loopback(graph, "Stream/Input/Audio", true); },
         {{kLoopOut, kLoopbackPid, true}}},
        {"loopback fed by another stream re-plays",
         [](PlaybackGraph& graph) {
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
             graph.DescribeNode(kStream, NodeDescription{});
             Loopback(graph, "Stream/Input/Audio");
             graph.AddLink(70, LinkGlobal{kStream, kStreamFL, kLoopSide, 80});
         },
         {{kStream, kPlayer, false}, {kLoopOut, kLoopbackPid, true}}},
        {"loopback from a microphone is its owner's own sound",
         [](PlaybackGraph& graph) {
             Loopback(graph, "Stream/Input/Audio");
             graph.AddLink(70, LinkGlobal{kSource, kSourceFL, kLoopSide, 80});
         },
         {{kLoopOut, kLoopbackPid, false}}},
        {"loopback moved from the microphone to a sink's monitor: decided again",
         [](PlaybackGraph& graph) {
             Loopback(graph, "Stream/Input/Audio");
             graph.AddLink(70, LinkGlobal{kSource, kSourceFL, kLoopSide, 80});
             graph.Remove(70);
             graph.AddLink(71, LinkGlobal{kSink, kSinkMonitorFL, kLoopSide, 80});
         },
         {{kLoopOut, kLoopbackPid, false}, {kLoopOut, kLoopbackPid, true}}},
        {"a virtual stream in no group is a stream like any other",
         [](PlaybackGraph& graph) {
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
             graph.DescribeNode(kStream, InGroup(""));
         },
         {{kStream, kPlayer, false}}},
        {"a JACK client is a stream once it feeds a sink",
         [](PlaybackGraph& graph) {
             graph.AddNode(kJack, NodeGlobal{"", kJackClient, {}});
             graph.DescribeNode(kJack, NodeDescription{});
             graph.AddPort(kJackOut1, Port(kJack, true, ""));
             graph.AddLink(70, LinkGlobal{kJack, kJackOut1, kSink, kSinkFL});
         },
         {{kJack, kJackPid, false}}},
        {"a JACK client that feeds only another client is no stream",
         [](PlaybackGraph& graph) {
             graph.AddNode(kJack, NodeGlobal{"", kJackClient, {}});
             graph.DescribeNode(kJack, NodeDescription{});
             graph.AddPort(kJackOut1, Port(kJack, true, ""));
             graph.AddLink(70, LinkGlobal{kJack, kJackOut1, kLoopSide, 80});
         },
         {}},
        {"a node's id reused by a newcomer is decided afresh",
         [](PlaybackGraph& graph) {
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
             graph.DescribeNode(kStream, NodeDescription{});
             graph.Remove(kStream);
             graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kJackClient, {}});
             graph.DescribeNode(kStream, NodeDescription{});
         },
         {{kStream, kPlayer, false}, {kStream, kJackPid, false}}},
    };
    for (const DecisionCase& c : cases) {
        Recorder recorder;
        PlaybackGraph graph(recorder, &ResolveOnHost);
        Desktop(graph);
        c.events(graph);
        EXPECT_EQ(recorder.decisions, c.decisions) << c.what;
    }
}

TEST(PlaybackGraph, StreamPortsCarryTheirChannels) {
    Recorder recorder;
    PlaybackGraph graph(recorder, &ResolveOnHost);
    Desktop(graph);
    graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
    graph.AddPort(kStreamFL, Port(kStream, true, "FL"));
    graph.AddPort(kStreamMonitor, Port(kStream, true, "FL", true));
    graph.AddPort(kStreamFR, Port(kStream, true, "FR"));
    // A JACK client's ports carry the channels of the sink ports they feed.
    graph.AddNode(kJack, NodeGlobal{"", kJackClient, {}});
    graph.AddPort(kJackOut1, Port(kJack, true, ""));
    graph.AddPort(kJackOut2, Port(kJack, true, ""));
    graph.AddLink(70, LinkGlobal{kJack, kJackOut1, kSink, kSinkFL});
    graph.AddLink(71, LinkGlobal{kJack, kJackOut1, kSink, kSinkFR});
    graph.AddLink(72, LinkGlobal{kJack, kJackOut1, kSink, kSinkFR});
    const std::vector<StreamPort> expected = {
        {kStreamFL, kStream, {"FL"}},
        {kStreamFR, kStream, {"FR"}},
        {kJackOut1, kJack, {"FL"}},
        {kJackOut1, kJack, {"FL", "FR"}},
    };
    EXPECT_EQ(recorder.ports, expected);
    // Every input port with a channel, the sink's among them.
    EXPECT_EQ(recorder.inputs, (std::vector<std::string>{"31@30:FL", "32@30:FR"}));

    // A node that goes takes its ports along: the same port id on a new
    // node is reported again.
    graph.Remove(kStream);
    graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
    graph.AddPort(kStreamFL, Port(kStream, true, "FL"));
    EXPECT_EQ(recorder.ports.back(), (StreamPort{kStreamFL, kStream, {"FL"}}));
    EXPECT_EQ(recorder.ports.size(), expected.size() + 1);
    EXPECT_EQ(recorder.removed, std::vector<uint32_t>{kStream});
}

// The channels each port of a stream was last reported to carry, after the
// stream's format and its ports (in this order of arrival) are known.
std::map<std::string, std::vector<std::string>> CarriedChannels(
    const std::vector<std::string>& offered, const std::vector<std::string>& negotiated,
    const std::vector<std::string>& ports, bool formatFirst = true) {
    Recorder recorder;
    PlaybackGraph graph(recorder, &ResolveOnHost);
    Desktop(graph);
    graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
    const auto format = [&] {
        if (!offered.empty())
            graph.SetNodeFormat(kStream, PlaybackGraph::FormatParam::kOffered, offered);
        if (!negotiated.empty())
            graph.SetNodeFormat(kStream, PlaybackGraph::FormatParam::kNegotiated, negotiated);
    };
    if (formatFirst) format();
    for (size_t i = 0; i < ports.size(); ++i)
        graph.AddPort(100 + static_cast<uint32_t>(i), Port(kStream, true, ports[i]));
    graph.AddPort(200, Port(kStream, true, "FL", true));  // a monitor port: never reported
    if (!formatFirst) format();
    std::map<std::string, std::vector<std::string>> carried;
    for (const StreamPort& report : recorder.ports)
        carried[ports.at(report.port - 100)] = report.channels;
    return carried;
}

TEST(PlaybackGraph, OnlyPortsOfTheStreamsOwnChannelsCarryItsSound) {
    using Carried = std::map<std::string, std::vector<std::string>>;
    const std::vector<std::string> stereo = {"FL", "FR"};
    const std::vector<std::string> surround51 = {"FL", "FR", "FC", "LFE", "RL", "RR"};
    const std::vector<std::string> surround71 = {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"};
    const Carried stereoCarried = {{"FL", {"FL"}}, {"FR", {"FR"}}};
    const Carried surroundCarried = {{"FL", {"FL"}},   {"FR", {"FR"}}, {"FC", {"FC"}},
                                     {"LFE", {"LFE"}}, {"RL", {"RL"}}, {"RR", {"RR"}}};
    // A stereo stream on a 5.1 sink: its centre and rear ports carry copies.
    EXPECT_EQ(CarriedChannels(stereo, {}, surround51), stereoCarried);
    // The same when the ports come first: the copies once reported carry
    // nothing from then on.
    EXPECT_EQ(
        CarriedChannels(stereo, {}, surround51, false),
        (Carried{{"FL", {"FL"}}, {"FR", {"FR"}}, {"FC", {}}, {"LFE", {}}, {"RL", {}}, {"RR", {}}}));
    // A port of a channel of its own that comes last: the others carry what
    // they carry until then.
    EXPECT_EQ(CarriedChannels(stereo, {}, {"FL", "FC", "FR"}),
              (Carried{{"FL", {"FL"}}, {"FC", {}}, {"FR", {"FR"}}}));
    // A 5.1 stream on a 7.1 sink: the side ports carry copies of the rears.
    EXPECT_EQ(CarriedChannels(surround51, {}, surround71), surroundCarried);
    // A 5.1 stream on a stereo sink, a stereo stream on a mono sink and a
    // mono stream on a stereo sink mix into the ports there are.
    EXPECT_EQ(CarriedChannels(surround51, {}, stereo), stereoCarried);
    EXPECT_EQ(CarriedChannels(stereo, {}, {"MONO"}), (Carried{{"MONO", {"MONO"}}}));
    EXPECT_EQ(CarriedChannels({"MONO"}, {}, stereo), stereoCarried);
    // A stream whose format tells no positions: every port.
    EXPECT_EQ(CarriedChannels({}, {}, surround51), surroundCarried);
    // The negotiated format comes before the offered one.
    EXPECT_EQ(CarriedChannels(stereo, surround51, surround71), surroundCarried);
}

TEST(PlaybackGraph, AStreamOnItsWayToAnotherSinkCarriesNothing) {
    constexpr uint32_t kOtherSink = 34, kOtherSinkFL = 37;
    Recorder recorder;
    PlaybackGraph graph(recorder, &ResolveOnHost);
    Desktop(graph);
    graph.AddNode(kOtherSink, NodeGlobal{"Audio/Sink", std::nullopt, {}});
    graph.AddPort(kOtherSinkFL, Port(kOtherSink, false, "FL"));
    graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
    graph.DescribeNode(kStream, NodeDescription{});
    // A new stream's port carries its channel before it plays into a sink,
    // so that its first period is heard.
    graph.AddPort(kStreamFL, Port(kStream, true, "FL"));
    const StreamPort carries{kStreamFL, kStream, {"FL"}}, nothing{kStreamFL, kStream, {}};
    EXPECT_EQ(recorder.ports, std::vector<StreamPort>{carries});
    graph.AddLink(70, LinkGlobal{kStream, kStreamFL, kSink, kSinkFL});

    // A target it already plays into moves nothing; a metadata key for a
    // node that is no stream neither.
    EXPECT_FALSE(graph.SetStreamTarget(kStream, kSink));
    EXPECT_FALSE(graph.SetStreamTarget(kSink, kOtherSink));
    EXPECT_EQ(recorder.ports.size(), 1u);

    // Another target: nothing from its ports until it plays into a sink
    // again, whatever happens between.
    EXPECT_TRUE(graph.SetStreamTarget(kStream, kOtherSink));
    EXPECT_EQ(recorder.ports.back(), nothing);
    graph.Remove(70);
    graph.AddPort(kStreamFR, Port(kStream, true, "FR"));
    EXPECT_EQ(recorder.ports.back(), nothing);
    graph.AddLink(71, LinkGlobal{kStream, kStreamFL, kOtherSink, kOtherSinkFL});
    EXPECT_EQ(recorder.ports.size(), 4u);
    EXPECT_EQ(recorder.ports[2], carries);
    EXPECT_EQ(recorder.ports[3], (StreamPort{kStreamFR, kStream, {"FR"}}));

    // A target that is no node id (the default sink's "-1"), and a move
    // that nothing came of: it ends when the watcher says so.
    EXPECT_TRUE(graph.SetStreamTarget(kStream, std::nullopt));
    EXPECT_EQ(recorder.ports.size(), 6u);
    graph.EndMove(kStream);
    EXPECT_EQ(recorder.ports.size(), 8u);
    EXPECT_EQ(recorder.ports[6], carries);

    // Its sink goes away: nothing, until the session manager links it to
    // another.
    graph.Remove(71);
    EXPECT_EQ(recorder.ports.size(), 10u);
    EXPECT_EQ(recorder.ports[8], nothing);
    graph.AddLink(72, LinkGlobal{kStream, kStreamFL, kSink, kSinkFL});
    EXPECT_EQ(recorder.ports.size(), 12u);
    EXPECT_EQ(recorder.ports[10], carries);
}

TEST(PlaybackGraph, StreamsThatFollowTheDefaultSinkAreOnTheirWayWhenItChanges) {
    constexpr uint32_t kOtherSink = 34, kOtherSinkFL = 37;
    const StreamPort carries{kStreamFL, kStream, {"FL"}}, nothing{kStreamFL, kStream, {}};
    struct Case {
        const char* what;
        NodeDescription stream;
        std::optional<uint32_t> metadataTarget;
        std::vector<std::string> defaults;  // default sinks named, in order
        bool moved;
    };
    NodeDescription ownSink;
    ownSink.targetsOwnSink = true;
    const Case cases[] = {
        {"follows the default: moved", NodeDescription{}, std::nullopt, {"default", "other"}, true},
        {"the first default known moves nothing",
         NodeDescription{},
         std::nullopt,
         {"other"},
         false},
        {"a default it plays into already",
         NodeDescription{},
         std::nullopt,
         {"other", "default"},
         false},
        {"a sink of its own in its properties", ownSink, std::nullopt, {"default", "other"}, false},
        {"a sink of its own in the metadata",
         NodeDescription{},
         kSink,
         {"default", "other"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Recorder recorder;
        PlaybackGraph graph(recorder, &ResolveOnHost);
        Desktop(graph);
        graph.AddNode(kOtherSink, NodeGlobal{"Audio/Sink", std::nullopt, "other"});
        graph.AddPort(kOtherSinkFL, Port(kOtherSink, false, "FL"));
        graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
        graph.DescribeNode(kStream, c.stream);
        graph.AddPort(kStreamFL, Port(kStream, true, "FL"));
        graph.AddLink(70, LinkGlobal{kStream, kStreamFL, kSink, kSinkFL});
        if (c.metadataTarget) {
            EXPECT_FALSE(graph.SetStreamTarget(kStream, c.metadataTarget));
        }
        std::vector<uint32_t> moved;
        for (const std::string& name : c.defaults)
            moved = graph.SetDefaultSink(name);
        EXPECT_EQ(moved, c.moved ? std::vector<uint32_t>{kStream} : std::vector<uint32_t>{});
        EXPECT_EQ(recorder.ports.back(), c.moved ? nothing : carries);
        if (!c.moved) continue;
        // Heard again once it plays into the new default, whichever of its
        // links to the old one goes first.
        graph.AddLink(71, LinkGlobal{kStream, kStreamFL, kOtherSink, kOtherSinkFL});
        graph.Remove(70);
        EXPECT_EQ(recorder.ports.back(), carries);
    }
}

TEST(PlaybackGraph, ListsDecidedStreamsWithStateAndApplication) {
    Recorder recorder;
    PlaybackGraph graph(recorder, &ResolveOnHost);
    Desktop(graph);
    graph.AddNode(kStream, NodeGlobal{"Stream/Output/Audio", kPlayerClient, {}});
    NodeDescription named;
    named.application = "Player";
    graph.DescribeNode(kStream, named);
    graph.SetNodeRunning(kStream, true);
    Loopback(graph, "Audio/Sink");
    graph.AddNode(kJack, NodeGlobal{"", kJackClient, {}});  // feeds nothing: no stream

    const std::vector<PlaybackGraph::Listed> listed = graph.DecidedStreams();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].decision, (StreamDecision{kStream, kPlayer, false}));
    EXPECT_TRUE(listed[0].running);
    EXPECT_EQ(listed[0].application, "Player");
    EXPECT_EQ(listed[1].decision, (StreamDecision{kLoopOut, kLoopbackPid, true}));
    EXPECT_FALSE(listed[1].running);
}

}  // namespace
