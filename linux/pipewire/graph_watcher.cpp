#include "linux/pipewire/graph_watcher.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "linux/pipewire/stream_owner.h"

// A bound proxy with its one listener, or a timer. The listener goes before
// the proxy, so that no event reaches a holder that is being destroyed.
struct GraphWatcher::Bound {
    GraphWatcher* owner = nullptr;
    uint32_t id = 0;
    // A playback stream's node, held for as long as it lives: its formats
    // tell which of its ports carry its own channels.
    bool followsFormats = false;
    ProxyPtr proxy;
    spa_hook listener{};
    LoopSource timer;

    ~Bound() { spa_hook_remove(&listener); }
};

namespace {

std::string StringProperty(const spa_dict* props, const char* key) {
    const char* value = LookupProperty(props, key);
    return value != nullptr ? value : "";
}

bool FromPulseBridge(const spa_dict* props) {
    return PropertyEquals(LookupProperty(props, PW_KEY_CLIENT_API), kPulseBridgeApi.data());
}

constexpr char kFlatpakAppIdKey[] = "pipewire.access.portal.app_id";
constexpr char kDefaultMetadata[] = "default";
// The sink the session manager plays streams that follow the default into:
// {"name": "<node.name>"}.
constexpr char kDefaultSinkKey[] = "default.audio.sink";

std::optional<std::string> DefaultNodeName(const char* json) {
    if (json == nullptr) return std::nullopt;
    spa_json document, object;
    spa_json_init(&document, json, std::strlen(json));
    if (spa_json_enter_object(&document, &object) <= 0) return std::nullopt;
    char key[64];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        char name[1024];
        if (std::strcmp(key, "name") == 0) {
            if (spa_json_get_string(&object, name, sizeof name) <= 0) return std::nullopt;
            return std::string(name);
        }
        const char* skipped;
        if (spa_json_next(&object, &skipped) <= 0) return std::nullopt;
    }
    return std::nullopt;
}

// A target property that names a sink ("-1" and "" name none).
bool NamesTarget(const char* value) {
    return value != nullptr && *value != '\0' && std::strcmp(value, "-1") != 0;
}

}  // namespace

PidClaimResolver HostPidClaims(std::string procRoot) {
    return [root = std::move(procRoot)](const PidClaim& claim) {
        return ResolvePidClaim(root, claim);
    };
}

const pw_registry_events GraphWatcher::kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                       const spa_dict* props) {
        static_cast<GraphWatcher*>(data)->OnGlobal(id, type, props);
    };
    events.global_remove = [](void* data, uint32_t id) {
        static_cast<GraphWatcher*>(data)->OnGlobalRemove(id);
    };
    return events;
}();

const pw_client_events GraphWatcher::kClientEvents = [] {
    pw_client_events events{};
    events.version = PW_VERSION_CLIENT_EVENTS;
    events.info = [](void* data, const pw_client_info* info) {
        auto* bound = static_cast<Bound*>(data);
        if ((info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) != 0) {
            bound->owner->OnClientInfo(bound->id, info->props);
        }
    };
    return events;
}();

const pw_node_events GraphWatcher::kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = [](void* data, const pw_node_info* info) {
        auto* bound = static_cast<Bound*>(data);
        bound->owner->OnNodeInfo(bound->id, *info);
    };
    events.param = [](void* data, int, uint32_t id, uint32_t index, uint32_t,
                      const spa_pod* param) {
        auto* bound = static_cast<Bound*>(data);
        bound->owner->OnNodeParam(bound->id, id, index, param);
    };
    return events;
}();

const pw_metadata_events GraphWatcher::kMetadataEvents = [] {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = [](void* data, uint32_t subject, const char* key, const char*,
                         const char* value) {
        static_cast<Bound*>(data)->owner->OnMetadataProperty(subject, key, value);
        return 0;
    };
    return events;
}();

GraphWatcher::GraphWatcher(PlaybackGraph& graph, std::string procRoot)
    : graph_(graph), procRoot_(std::move(procRoot)) {}

GraphWatcher::~GraphWatcher() {
    Stop();
}

std::optional<SetupFailure> GraphWatcher::Watch(pw_core* core) {
    loop_ = pw_context_get_main_loop(pw_core_get_context(core));
    registry_.reset(GetRegistry(core));
    if (!registry_) return SetupFailure{errno, "cannot watch the PipeWire graph"};
    AddRegistryListener(registry_.get(), &registryListener_, &kRegistryEvents, this);
    return std::nullopt;
}

void GraphWatcher::Stop() {
    clients_.clear();
    nodes_.clear();
    metadata_.reset();
    moves_.clear();
    if (registry_) spa_hook_remove(&registryListener_);
    registry_.reset();
}

void GraphWatcher::OnGlobal(uint32_t id, const char* type, const spa_dict* props) {
    if (PropertyEquals(type, PW_TYPE_INTERFACE_Client)) {
        ClientGlobal client;
        client.socketPid = ParsePidProperty(LookupProperty(props, PW_KEY_SEC_PID));
        client.socketPidRunsPipeWire =
            client.socketPid && RunsPipeWire(procRoot_, *client.socketPid);
        graph_.AddClient(id, client);
        if (client.socketPidRunsPipeWire) BindClient(id);
    } else if (PropertyEquals(type, PW_TYPE_INTERFACE_Node)) {
        NodeGlobal node;
        node.mediaClass = StringProperty(props, PW_KEY_MEDIA_CLASS);
        node.clientId = ParseNumberProperty(LookupProperty(props, PW_KEY_CLIENT_ID));
        node.name = StringProperty(props, PW_KEY_NODE_NAME);
        graph_.AddNode(id, node);
        BindNode(id, node.mediaClass == kPlaybackStreamClass);
    } else if (PropertyEquals(type, PW_TYPE_INTERFACE_Port)) {
        const std::optional<uint32_t> node =
            ParseNumberProperty(LookupProperty(props, PW_KEY_NODE_ID));
        const char* direction = LookupProperty(props, PW_KEY_PORT_DIRECTION);
        if (!node || direction == nullptr) return;
        PortGlobal port;
        port.node = *node;
        port.output = PropertyEquals(direction, "out");
        port.monitor = PropertyEquals(LookupProperty(props, PW_KEY_PORT_MONITOR), "true");
        port.channel = StringProperty(props, PW_KEY_AUDIO_CHANNEL);
        graph_.AddPort(id, port);
    } else if (PropertyEquals(type, PW_TYPE_INTERFACE_Metadata)) {
        if (PropertyEquals(LookupProperty(props, PW_KEY_METADATA_NAME), kDefaultMetadata))
            BindDefaultMetadata(id);
    } else if (PropertyEquals(type, PW_TYPE_INTERFACE_Link)) {
        const auto number = [&](const char* key) {
            return ParseNumberProperty(LookupProperty(props, key));
        };
        const std::optional<uint32_t> outputNode = number(PW_KEY_LINK_OUTPUT_NODE);
        const std::optional<uint32_t> outputPort = number(PW_KEY_LINK_OUTPUT_PORT);
        const std::optional<uint32_t> inputNode = number(PW_KEY_LINK_INPUT_NODE);
        const std::optional<uint32_t> inputPort = number(PW_KEY_LINK_INPUT_PORT);
        if (!outputNode || !outputPort || !inputNode || !inputPort) return;
        graph_.AddLink(id, LinkGlobal{*outputNode, *outputPort, *inputNode, *inputPort});
    }
}

void GraphWatcher::OnGlobalRemove(uint32_t id) {
    clients_.erase(id);
    nodes_.erase(id);
    moves_.erase(id);
    if (metadata_ && metadata_->id == id) metadata_.reset();
    graph_.Remove(id);
}

void GraphWatcher::BindClient(uint32_t id) {
    auto bound = std::make_unique<Bound>();
    bound->owner = this;
    bound->id = id;
    bound->proxy.reset(::BindClient(registry_.get(), id));
    if (!bound->proxy) {
        graph_.DescribeClient(id, ClientDescription{});  // judged by its socket pid alone
        return;
    }
    AddClientListener(bound->proxy.get(), &bound->listener, &kClientEvents, bound.get());
    clients_[id] = std::move(bound);
}

void GraphWatcher::BindNode(uint32_t id, bool playbackStream) {
    auto bound = std::make_unique<Bound>();
    bound->owner = this;
    bound->id = id;
    bound->proxy.reset(::BindNode(registry_.get(), id));
    if (!bound->proxy) {
        graph_.DescribeNode(id, NodeDescription{});
        return;
    }
    AddNodeListener(bound->proxy.get(), &bound->listener, &kNodeEvents, bound.get());
    bound->followsFormats = playbackStream;
    if (playbackStream) {
        // Its own channels: which of its ports carry what it plays.
        uint32_t formats[] = {SPA_PARAM_EnumFormat, SPA_PARAM_Format};
        SubscribeNodeParams(bound->proxy.get(), formats, 2);
    }
    nodes_[id] = std::move(bound);
}

void GraphWatcher::BindDefaultMetadata(uint32_t id) {
    auto bound = std::make_unique<Bound>();
    bound->owner = this;
    bound->id = id;
    bound->proxy.reset(::BindMetadata(registry_.get(), id));
    // Without it, moves are not seen before they happen; captures go on.
    if (!bound->proxy) return;
    AddMetadataListener(bound->proxy.get(), &bound->listener, &kMetadataEvents, bound.get());
    metadata_ = std::move(bound);
}

void GraphWatcher::OnMetadataProperty(uint32_t subject, const char* key, const char* value) {
    if (subject == PW_ID_CORE && PropertyEquals(key, kDefaultSinkKey)) {
        const std::optional<std::string> name = DefaultNodeName(value);
        if (!name) return;
        for (const uint32_t stream : graph_.SetDefaultSink(*name))
            WaitForMove(stream);
        return;
    }
    // A key of null takes every property of the subject away.
    if (key != nullptr && !PropertyEquals(key, PW_KEY_TARGET_OBJECT) &&
        !PropertyEquals(key, PW_KEY_NODE_TARGET)) {
        return;
    }
    if (graph_.SetStreamTarget(subject, ParseNumberProperty(value))) WaitForMove(subject);
}

void GraphWatcher::WaitForMove(uint32_t stream) {
    auto timer = std::make_unique<Bound>();
    timer->owner = this;
    timer->id = stream;
    timer->timer = LoopSource(loop_, AddTimerSource(
                                         loop_,
                                         [](void* data, uint64_t) {
                                             auto* move = static_cast<Bound*>(data);
                                             GraphWatcher* owner = move->owner;
                                             const uint32_t node = move->id;
                                             owner->moves_.erase(node);  // this timer with it
                                             owner->graph_.EndMove(node);
                                         },
                                         timer.get()));
    if (!timer->timer) {
        graph_.EndMove(stream);
        return;
    }
    ArmTimerSource(loop_, timer->timer.Get(), timespec{0, kMoveWaitNs});
    moves_[stream] = std::move(timer);
}

void GraphWatcher::OnClientInfo(uint32_t id, const spa_dict* props) {
    ClientDescription description;
    description.fromPulseBridge = FromPulseBridge(props);
    description.claimedPid = ParsePidProperty(LookupProperty(props, PW_KEY_APP_PROCESS_ID));
    description.claimedBinary = StringProperty(props, PW_KEY_APP_PROCESS_BINARY);
    description.flatpakAppId = StringProperty(props, kFlatpakAppIdKey);
    // Its properties are all that was wanted of it. The library holds the
    // proxy while its event runs, so it can go here.
    clients_.erase(id);
    graph_.DescribeClient(id, description);
}

void GraphWatcher::OnNodeParam(uint32_t id, uint32_t param, uint32_t index, const spa_pod* value) {
    // Of the formats offered, the first tells (a stream that offers several
    // layouts is known by the one it negotiates).
    if (param != SPA_PARAM_Format && (param != SPA_PARAM_EnumFormat || index != 0)) return;
    std::optional<std::vector<std::string>> positions = RawAudioPositions(value);
    if (!positions) return;
    graph_.SetNodeFormat(id,
                         param == SPA_PARAM_Format ? PlaybackGraph::FormatParam::kNegotiated
                                                   : PlaybackGraph::FormatParam::kOffered,
                         std::move(*positions));
}

void GraphWatcher::OnNodeInfo(uint32_t id, const pw_node_info& info) {
    if ((info.change_mask & PW_NODE_CHANGE_MASK_STATE) != 0) {
        graph_.SetNodeRunning(id, info.state == PW_NODE_STATE_RUNNING);
    }
    if ((info.change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0) return;
    const spa_dict* props = info.props;
    NodeDescription description;
    description.linkGroup = StringProperty(props, PW_KEY_NODE_LINK_GROUP);
    description.capturesSinkMonitor =
        PropertyEquals(LookupProperty(props, PW_KEY_STREAM_CAPTURE_SINK), "true");
    description.fromPulseBridge = FromPulseBridge(props);
    description.claimedPid = ParsePidProperty(LookupProperty(props, PW_KEY_APP_PROCESS_ID));
    description.claimedBinary = StringProperty(props, PW_KEY_APP_PROCESS_BINARY);
    description.flatpakAppId = StringProperty(props, kFlatpakAppIdKey);
    description.application = StringProperty(props, PW_KEY_APP_NAME);
    description.targetsOwnSink = NamesTarget(LookupProperty(props, PW_KEY_TARGET_OBJECT)) ||
                                 NamesTarget(LookupProperty(props, PW_KEY_NODE_TARGET));
    // Its first info carries its properties and state together: that is
    // all that is wanted of a node that is no playback stream. Held longer,
    // nodes send their info again at every change of state, also while the
    // graph changes its period: work for the loop that also writes the
    // capture out (with the 2 buffers the capture had then, it differed from
    // pw-record's across such a change in 5 of 6 runs here, against 1 of 6
    // without). The library holds the proxy while its event runs.
    const auto bound = nodes_.find(id);
    if (bound != nodes_.end() && !bound->second->followsFormats) nodes_.erase(bound);
    graph_.DescribeNode(id, description);
}
