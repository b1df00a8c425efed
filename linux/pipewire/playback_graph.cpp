#include "linux/pipewire/playback_graph.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view kPlaybackClass = "Stream/Output/Audio";
constexpr std::string_view kCaptureClass = "Stream/Input/Audio";
constexpr std::string_view kSinkClass = "Audio/Sink";
constexpr std::string_view kSourceClassPrefix = "Audio/Source";

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

PlaybackGraph::PlaybackGraph(GraphObserver& observer, PidClaimResolver resolveClaim)
    : observer_(observer), resolveClaim_(std::move(resolveClaim)) {}

void PlaybackGraph::AddClient(uint32_t id, const ClientGlobal& client) {
    clients_[id] = Client{client, std::nullopt};
    Update();
}

void PlaybackGraph::DescribeClient(uint32_t id, const ClientDescription& description) {
    const auto client = clients_.find(id);
    if (client == clients_.end()) return;
    client->second.description = description;
    Update();
}

void PlaybackGraph::AddNode(uint32_t id, const NodeGlobal& node) {
    nodes_[id] = Node{node, std::nullopt, false, std::nullopt, {}, {}, false, false};
    Update();
}

void PlaybackGraph::DescribeNode(uint32_t id, const NodeDescription& description) {
    const auto node = nodes_.find(id);
    if (node == nodes_.end()) return;
    node->second.description = description;
    Update();
}

void PlaybackGraph::SetNodeRunning(uint32_t id, bool running) {
    const auto node = nodes_.find(id);
    if (node != nodes_.end()) node->second.running = running;
}

void PlaybackGraph::SetNodeFormat(uint32_t id, FormatParam param,
                                  std::vector<std::string> positions) {
    const auto node = nodes_.find(id);
    if (node == nodes_.end()) return;
    (param == FormatParam::kOffered ? node->second.offeredPositions
                                    : node->second.negotiatedPositions) = std::move(positions);
    Update();
}

bool PlaybackGraph::SetStreamTarget(uint32_t id, std::optional<uint32_t> target) {
    const auto node = nodes_.find(id);
    if (node == nodes_.end() || !IsPlaybackStream(id, node->second)) return false;
    const bool there =
        target && std::any_of(links_.begin(), links_.end(), [&](const auto& entry) {
            return entry.second.outputNode == id && entry.second.inputNode == *target;
        });
    node->second.targetInMetadata = target.has_value();
    if (there) return false;
    node->second.moving = true;
    Update();
    return true;
}

std::vector<uint32_t> PlaybackGraph::SetDefaultSink(const std::string& name) {
    const bool changed = defaultSink_ && *defaultSink_ != name;
    defaultSink_ = name;
    std::vector<uint32_t> moved;
    if (!changed) return moved;
    for (auto& [id, node] : nodes_) {
        if (!IsPlaybackStream(id, node) || node.moving || node.targetInMetadata ||
            !node.description || node.description->targetsOwnSink) {
            continue;
        }
        bool elsewhere = false, there = false;
        for (const auto& [linkId, link] : links_) {
            if (link.outputNode != id || MediaClassOf(link.inputNode) != kSinkClass) continue;
            const auto sink = nodes_.find(link.inputNode);
            (sink != nodes_.end() && sink->second.global.name == name ? there : elsewhere) = true;
        }
        if (!elsewhere || there) continue;
        node.moving = true;
        moved.push_back(id);
    }
    if (!moved.empty()) Update();
    return moved;
}

void PlaybackGraph::EndMove(uint32_t id) {
    const auto node = nodes_.find(id);
    if (node == nodes_.end() || !node->second.moving) return;
    node->second.moving = false;
    Update();
}

void PlaybackGraph::AddPort(uint32_t id, const PortGlobal& port) {
    ports_[id] = port;
    if (!port.output && !port.channel.empty()) observer_.OnInputPort(id, port.node, port.channel);
    Update();
}

void PlaybackGraph::AddLink(uint32_t id, const LinkGlobal& link) {
    links_[id] = link;
    // A moved stream that plays into a sink again has its new ports.
    const auto output = nodes_.find(link.outputNode);
    if (output != nodes_.end() && MediaClassOf(link.inputNode) == kSinkClass) {
        output->second.moving = false;
        output->second.playedIntoSink = true;
    }
    Update();
}

void PlaybackGraph::Remove(uint32_t id) {
    clients_.erase(id);
    nodes_.erase(id);
    ports_.erase(id);
    links_.erase(id);
    reportedPorts_.erase(id);
    // Ids are reused: a node's ports must not outlive it and join a newcomer.
    for (auto port = ports_.begin(); port != ports_.end();) {
        if (port->second.node == id) {
            reportedPorts_.erase(port->first);
            port = ports_.erase(port);
        } else {
            ++port;
        }
    }
    observer_.OnRemoved(id);
    Update();
}

std::vector<PlaybackGraph::Listed> PlaybackGraph::DecidedStreams() const {
    std::vector<Listed> streams;
    for (const auto& [id, node] : nodes_) {
        if (!node.decided) continue;
        streams.push_back(Listed{*node.decided, node.running,
                                 node.description ? node.description->application : ""});
    }
    return streams;
}

const std::string& PlaybackGraph::MediaClassOf(uint32_t node) const {
    static const std::string kNone;
    const auto found = nodes_.find(node);
    return found != nodes_.end() ? found->second.global.mediaClass : kNone;
}

bool PlaybackGraph::FeedsSink(uint32_t node) const {
    return std::any_of(links_.begin(), links_.end(), [&](const auto& entry) {
        return entry.second.outputNode == node &&
               MediaClassOf(entry.second.inputNode) == kSinkClass;
    });
}

bool PlaybackGraph::IsPlaybackStream(uint32_t id, const Node& node) const {
    if (node.global.mediaClass == kPlaybackClass) return true;
    // A JACK client: no media class, output ports linked to a sink.
    return node.global.mediaClass.empty() && node.global.clientId && FeedsSink(id);
}

std::optional<bool> PlaybackGraph::CaptureSideReplays(uint32_t id, const Node& node) const {
    if (!node.description) return std::nullopt;
    if (node.description->capturesSinkMonitor) return true;
    bool fed = false;
    for (const auto& [linkId, link] : links_) {
        if (link.inputNode != id) continue;
        fed = true;
        // A source is someone's own sound; anything else (a sink's monitor,
        // another stream) is sound that was played already.
        if (!StartsWith(MediaClassOf(link.outputNode), kSourceClassPrefix)) return true;
    }
    if (!fed) return std::nullopt;
    return false;
}

std::optional<bool> PlaybackGraph::ReplaysOthers(uint32_t id, const Node& node) const {
    const std::string& group = node.description->linkGroup;
    if (group.empty()) return false;
    bool othersKnown = false;
    bool captureUnknown = false;
    for (const auto& [otherId, other] : nodes_) {
        if (otherId == id || !other.description || other.description->linkGroup != group) continue;
        othersKnown = true;
        const std::string& mediaClass = other.global.mediaClass;
        if (mediaClass == kSinkClass) return true;
        if (mediaClass != kCaptureClass) continue;
        const std::optional<bool> replays = CaptureSideReplays(otherId, other);
        if (replays == true) return true;
        if (!replays) captureUnknown = true;
    }
    // Alone in its group so far, or its capture side not fed yet: wait.
    if (!othersKnown || captureUnknown) return std::nullopt;
    return false;
}

std::optional<std::optional<uint32_t>> PlaybackGraph::Owner(const Node& node) const {
    StreamOwnerFacts facts;
    const NodeDescription& own = *node.description;
    facts.fromPulseBridge = own.fromPulseBridge;
    facts.claimedPid = own.claimedPid;
    facts.claimedBinary = own.claimedBinary;
    facts.flatpakAppId = own.flatpakAppId;
    const auto client =
        node.global.clientId ? clients_.find(*node.global.clientId) : clients_.end();
    if (client != clients_.end()) {
        facts.clientSocketPid = client->second.global.socketPid;
        facts.socketPidRunsPipeWire = client->second.global.socketPidRunsPipeWire;
        if (facts.socketPidRunsPipeWire) {
            // What the bridge's client says of its player comes first.
            if (!client->second.description) return std::nullopt;
            const ClientDescription& described = *client->second.description;
            facts.fromPulseBridge = facts.fromPulseBridge || described.fromPulseBridge;
            if (described.claimedPid) {
                facts.claimedPid = described.claimedPid;
                facts.claimedBinary = described.claimedBinary;
            }
            if (!described.flatpakAppId.empty()) facts.flatpakAppId = described.flatpakAppId;
        }
    }
    return StreamOwnerPid(facts, resolveClaim_);
}

std::optional<StreamDecision> PlaybackGraph::Decide(uint32_t id, const Node& node) const {
    if (!node.description) return std::nullopt;
    const std::optional<bool> replays = ReplaysOthers(id, node);
    if (!replays) return std::nullopt;
    std::optional<uint32_t> owner;
    if (node.decided) {
        owner = node.decided->owner;  // what a process says of itself does not change
    } else {
        const std::optional<std::optional<uint32_t>> found = Owner(node);
        if (!found) return std::nullopt;
        owner = *found;
    }
    return StreamDecision{id, owner, *replays};
}

bool PlaybackGraph::OnItsWay(uint32_t id, const Node& node) const {
    return node.moving || (node.playedIntoSink && !FeedsSink(id));
}

bool PlaybackGraph::CarriesOnlyCopies(uint32_t node, const std::string& channel) const {
    const auto found = nodes_.find(node);
    if (found == nodes_.end()) return false;
    const std::vector<std::string>& own = found->second.negotiatedPositions.empty()
                                              ? found->second.offeredPositions
                                              : found->second.negotiatedPositions;
    if (own.empty() || std::find(own.begin(), own.end(), channel) != own.end()) return false;
    // Copies only when every channel of its own has a port of its own.
    return std::all_of(own.begin(), own.end(), [&](const std::string& position) {
        return std::any_of(ports_.begin(), ports_.end(), [&](const auto& entry) {
            const PortGlobal& port = entry.second;
            return port.node == node && port.output && !port.monitor && port.channel == position;
        });
    });
}

StreamPort PlaybackGraph::PortReport(uint32_t port, const PortGlobal& global) const {
    StreamPort report{port, global.node, {}};
    const auto node = nodes_.find(global.node);
    if (node != nodes_.end() && OnItsWay(global.node, node->second)) return report;
    if (!global.channel.empty()) {
        if (!CarriesOnlyCopies(global.node, global.channel))
            report.channels.push_back(global.channel);
        return report;
    }
    for (const auto& [linkId, link] : links_) {
        if (link.outputPort != port || MediaClassOf(link.inputNode) != kSinkClass) continue;
        const auto input = ports_.find(link.inputPort);
        if (input == ports_.end() || input->second.channel.empty()) continue;
        if (std::find(report.channels.begin(), report.channels.end(), input->second.channel) ==
            report.channels.end()) {
            report.channels.push_back(input->second.channel);
        }
    }
    return report;
}

void PlaybackGraph::Update() {
    for (auto& [id, node] : nodes_) {
        if (!IsPlaybackStream(id, node)) continue;
        const std::optional<StreamDecision> decision = Decide(id, node);
        if (!decision || decision == node.decided) continue;
        node.decided = decision;
        observer_.OnStreamDecided(*decision);
    }
    for (const auto& [id, port] : ports_) {
        if (!port.output || port.monitor) continue;
        const auto node = nodes_.find(port.node);
        if (node == nodes_.end() || !IsPlaybackStream(port.node, node->second)) continue;
        StreamPort report = PortReport(id, port);
        const auto reported = reportedPorts_.find(id);
        // A port that carries nothing is reported only when it did before.
        if (reported == reportedPorts_.end() ? report.channels.empty()
                                             : reported->second == report) {
            continue;
        }
        reportedPorts_[id] = report;
        observer_.OnStreamPort(report);
    }
}
