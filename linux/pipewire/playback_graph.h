// The PipeWire graph as both programs need it, and the one place where each
// playback stream is decided: which process plays it, and whether it only
// re-plays what other streams played. Pure bookkeeping: the graph watcher
// feeds it the registry's events and the properties of bound objects, and it
// tells its observer what it decided, so its rules are checked without a
// server.
//
// A playback stream is a Stream/Output/Audio node, or a node of no media
// class (a JACK client) whose output ports feed a sink. A stream re-plays
// others when it is one side of a link group (node.link-group) whose other
// side is a sink (a virtual sink, filter chain, echo canceller, combined
// sink) or a capture stream fed from a sink's monitor or from another
// stream; a loopback whose capture side is fed from a source plays its
// owner's own sound. A stream is decided once all that it depends on is
// known, and decided again when that changes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "linux/pipewire/stream_owner.h"

// What the registry's global event shows of a client.
struct ClientGlobal {
    std::optional<uint32_t> socketPid;  // pipewire.sec.pid
    bool socketPidRunsPipeWire = false;
};

// What a bound client's properties say of the process behind it.
struct ClientDescription {
    bool fromPulseBridge = false;  // client.api
    std::optional<uint32_t> claimedPid;
    std::string claimedBinary;
    std::string flatpakAppId;
};

// What a node's global event shows.
struct NodeGlobal {
    std::string mediaClass;
    std::optional<uint32_t> clientId;
    std::string name;  // node.name
};

// What a bound node's properties say.
struct NodeDescription {
    std::string linkGroup;             // node.link-group
    bool capturesSinkMonitor = false;  // stream.capture.sink
    bool fromPulseBridge = false;      // client.api
    std::optional<uint32_t> claimedPid;
    std::string claimedBinary;
    std::string flatpakAppId;
    std::string application;  // application.name
    // target.object or node.target: the stream asked for a sink of its own
    // and does not follow the default one.
    bool targetsOwnSink = false;
};

struct PortGlobal {
    uint32_t node = 0;
    bool output = false;
    bool monitor = false;  // port.monitor: a sink's monitor output
    std::string channel;   // audio.channel, empty when it has none
};

struct LinkGlobal {
    uint32_t outputNode = 0;
    uint32_t outputPort = 0;
    uint32_t inputNode = 0;
    uint32_t inputPort = 0;
};

struct StreamDecision {
    uint32_t node = 0;
    // The host process that plays it; nothing when it cannot be told.
    std::optional<uint32_t> owner;
    // It re-plays what other streams played: never captured on its own.
    bool replaysOthers = false;

    bool operator==(const StreamDecision& other) const {
        return node == other.node && owner == other.owner && replaysOthers == other.replaysOthers;
    }
};

// An output port of a playback stream and the channels it carries: its own
// audio.channel, or for a port that has none (JACK), the channels of the
// sink ports it feeds; none for a port that carries only copies of the
// stream's other channels.
struct StreamPort {
    uint32_t port = 0;
    uint32_t node = 0;
    std::vector<std::string> channels;

    bool operator==(const StreamPort& other) const {
        return port == other.port && node == other.node && channels == other.channels;
    }
};

class GraphObserver {
public:
    virtual ~GraphObserver() = default;
    // A stream was decided, or decided differently.
    virtual void OnStreamDecided(const StreamDecision& decision) = 0;
    // A stream's output port appeared, or the channels it carries changed
    // (to none, when it turned out to carry only copies).
    virtual void OnStreamPort(const StreamPort& port) = 0;
    // An input port with an audio.channel appeared, on any node.
    virtual void OnInputPort(uint32_t port, uint32_t node, const std::string& channel) = 0;
    // Any global (node, port, link, client) went away.
    virtual void OnRemoved(uint32_t id) = 0;
};

class PlaybackGraph {
public:
    PlaybackGraph(GraphObserver& observer, PidClaimResolver resolveClaim);

    void AddClient(uint32_t id, const ClientGlobal& client);
    // Only clients of a PipeWire process (the bridge) are described; a
    // stream of such a client waits for the description.
    void DescribeClient(uint32_t id, const ClientDescription& description);
    void AddNode(uint32_t id, const NodeGlobal& node);
    // A node that cannot be bound is described with nothing.
    void DescribeNode(uint32_t id, const NodeDescription& description);
    void SetNodeRunning(uint32_t id, bool running);
    // A stream was given a target (a node id, or nothing for a target that
    // is no node id or was taken away). Unless it already plays into that
    // node, it is being moved: true then.
    bool SetStreamTarget(uint32_t id, std::optional<uint32_t> target);
    // The default sink is now the node of this name. Streams that follow
    // the default and play into another sink are being moved (the session
    // manager moves them next): their ids. The first default known moves
    // nothing.
    std::vector<uint32_t> SetDefaultSink(const std::string& name);
    // A move that nothing came of (the session manager left the stream
    // where it was) ends.
    void EndMove(uint32_t id);
    // The channel positions of a stream's own format: the formats it offers
    // (EnumFormat, known from its start when it offers one layout) or the
    // one it negotiated (Format), which comes first.
    enum class FormatParam { kOffered, kNegotiated };
    void SetNodeFormat(uint32_t id, FormatParam param, std::vector<std::string> positions);
    void AddPort(uint32_t id, const PortGlobal& port);
    void AddLink(uint32_t id, const LinkGlobal& link);
    void Remove(uint32_t id);

    // The streams decided so far, in node order.
    struct Listed {
        StreamDecision decision;
        bool running = false;
        std::string application;
    };
    std::vector<Listed> DecidedStreams() const;

private:
    struct Client {
        ClientGlobal global;
        std::optional<ClientDescription> description;
    };
    struct Node {
        NodeGlobal global;
        std::optional<NodeDescription> description;
        bool running = false;
        std::optional<StreamDecision> decided;
        std::vector<std::string> offeredPositions;
        std::vector<std::string> negotiatedPositions;
        bool moving = false;
        bool playedIntoSink = false;
        bool targetInMetadata = false;  // given a target that is a node id
    };

    bool IsPlaybackStream(uint32_t id, const Node& node) const;
    bool FeedsSink(uint32_t node) const;
    // Nothing while what it depends on is unknown.
    std::optional<StreamDecision> Decide(uint32_t id, const Node& node) const;
    std::optional<bool> ReplaysOthers(uint32_t id, const Node& node) const;
    std::optional<bool> CaptureSideReplays(uint32_t id, const Node& node) const;
    std::optional<std::optional<uint32_t>> Owner(const Node& node) const;
    StreamPort PortReport(uint32_t port, const PortGlobal& global) const;
    // Whether a stream is on its way to another sink.
    bool OnItsWay(uint32_t id, const Node& node) const;
    // Whether a stream's port of this channel carries only copies of its
    // other channels.
    bool CarriesOnlyCopies(uint32_t node, const std::string& channel) const;
    const std::string& MediaClassOf(uint32_t node) const;
    // Decides again every stream, and reports what changed.
    void Update();

    GraphObserver& observer_;
    PidClaimResolver resolveClaim_;
    std::map<uint32_t, Client> clients_;
    std::map<uint32_t, Node> nodes_;
    std::map<uint32_t, PortGlobal> ports_;
    std::map<uint32_t, LinkGlobal> links_;
    // Output ports of streams as last reported.
    std::map<uint32_t, StreamPort> reportedPorts_;
    std::optional<std::string> defaultSink_;
};
