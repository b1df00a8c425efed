#include "linux/lister/playback_streams.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "linux/pipewire/stream_owner.h"

namespace {

// Reads the graph in two round trips. The registry announces every object
// before the server answers the first sync; each playback stream node is
// bound as it is announced, and the server sends a bound node's properties
// and state before it answers the second sync.
class GraphReader {
public:
    GraphReader(const std::string& procRoot, const timespec& answerWithin)
        : procRoot_(procRoot), answerWithin_(answerWithin) {}
    ~GraphReader() {
        for (auto& entry : nodes_)
            spa_hook_remove(&entry.second->listener);
        nodes_.clear();
        if (registry_) spa_hook_remove(&registryListener_);
        registry_.reset();
        connection_.Close();
    }
    GraphReader(const GraphReader&) = delete;
    GraphReader& operator=(const GraphReader&) = delete;

    std::optional<SetupFailure> Read(std::vector<PlaybackStream>& streams) {
        if (std::optional<SetupFailure> failure = connection_.Connect(
                [this](int error, std::string reason) { Fail(error, std::move(reason)); },
                [this](int seq) { OnSync(seq); })) {
            return failure;
        }
        if (std::optional<SetupFailure> failure = connection_.SetDeadline(answerWithin_)) {
            return failure;
        }

        registry_.reset(GetRegistry(connection_.Core()));
        if (!registry_) return SetupFailure{errno, "cannot watch the PipeWire graph"};
        AddRegistryListener(registry_.get(), &registryListener_, &kRegistryEvents, this);
        awaitedSync_ = connection_.Sync();
        if (awaitedSync_ < 0)
            return SetupFailure{-awaitedSync_, "cannot reach the PipeWire server"};

        pw_main_loop_run(connection_.MainLoop());
        if (failure_) return failure_;
        streams.clear();
        for (const auto& entry : nodes_) {
            const Node& node = *entry.second;
            if (!node.described || node.removed) continue;
            PlaybackStream stream;
            stream.node = entry.first;
            stream.owner = StreamOwnerPid(OwnerFacts(node));
            stream.playing = node.running;
            stream.application = node.application;
            streams.push_back(std::move(stream));
        }
        return std::nullopt;
    }

private:
    struct Client {
        std::optional<uint32_t> socketPid;
        bool runsPipeWire = false;
    };
    struct Node {
        GraphReader* owner = nullptr;
        ProxyPtr proxy;
        spa_hook listener{};
        bool described = false;  // its properties have arrived
        bool removed = false;    // gone from the graph since
        bool running = false;
        std::optional<uint32_t> clientId;
        bool fromPulseBridge = false;
        std::optional<uint32_t> claimedPid;
        std::string application;
    };

    void OnGlobal(uint32_t id, const char* type, const spa_dict* props) {
        if (PropertyEquals(type, PW_TYPE_INTERFACE_Client)) {
            Client& client = clients_[id];
            client.socketPid = ParsePidProperty(LookupProperty(props, PW_KEY_SEC_PID));
            client.runsPipeWire = client.socketPid && RunsPipeWire(procRoot_, *client.socketPid);
        } else if (PropertyEquals(type, PW_TYPE_INTERFACE_Node) &&
                   PropertyEquals(LookupProperty(props, PW_KEY_MEDIA_CLASS),
                                  kPlaybackStreamClass)) {
            auto node = std::make_unique<Node>();
            node->owner = this;
            node->proxy.reset(BindNode(registry_.get(), id));
            if (!node->proxy) return;
            AddNodeListener(node->proxy.get(), &node->listener, &kNodeEvents, node.get());
            nodes_[id] = std::move(node);
        }
    }

    void OnGlobalRemove(uint32_t id) {
        clients_.erase(id);
        const auto node = nodes_.find(id);
        if (node == nodes_.end()) return;
        // Not destroyed here: its proxy may be inside an event of its own.
        node->second->removed = true;
    }

    static void OnNodeInfo(Node& node, const pw_node_info* info) {
        if ((info->change_mask & PW_NODE_CHANGE_MASK_STATE) != 0) {
            node.running = info->state == PW_NODE_STATE_RUNNING;
        }
        if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0) {
            const spa_dict* props = info->props;
            node.described = true;
            node.clientId = ParseNumberProperty(LookupProperty(props, PW_KEY_CLIENT_ID));
            node.fromPulseBridge =
                PropertyEquals(LookupProperty(props, PW_KEY_CLIENT_API), kPulseBridgeApi.data());
            node.claimedPid = ParsePidProperty(LookupProperty(props, PW_KEY_APP_PROCESS_ID));
            const char* application = LookupProperty(props, PW_KEY_APP_NAME);
            node.application = application != nullptr ? application : "";
        }
    }

    StreamOwnerFacts OwnerFacts(const Node& node) const {
        StreamOwnerFacts facts;
        const auto client = node.clientId ? clients_.find(*node.clientId) : clients_.end();
        if (client != clients_.end()) {
            facts.clientSocketPid = client->second.socketPid;
            facts.socketPidRunsPipeWire = client->second.runsPipeWire;
        }
        facts.fromPulseBridge = node.fromPulseBridge;
        facts.claimedPid = node.claimedPid;
        return facts;
    }

    void OnSync(int seq) {
        if (seq != awaitedSync_ || failure_) return;
        if (!registryRead_) {
            // Every object is announced and every node bound: one more round
            // trip brings what the bound nodes say.
            registryRead_ = true;
            awaitedSync_ = connection_.Sync();
            if (awaitedSync_ < 0) Fail(-awaitedSync_, "cannot reach the PipeWire server");
            return;
        }
        pw_main_loop_quit(connection_.MainLoop());
    }

    void Fail(int error, std::string reason) {
        if (!failure_) failure_ = SetupFailure{error, std::move(reason)};
        pw_main_loop_quit(connection_.MainLoop());
    }

    static const pw_registry_events kRegistryEvents;
    static const pw_node_events kNodeEvents;

    std::string procRoot_;
    timespec answerWithin_;
    PipeWireConnection connection_;
    RegistryPtr registry_;
    spa_hook registryListener_{};
    int awaitedSync_ = 0;
    bool registryRead_ = false;
    std::optional<SetupFailure> failure_;
    std::map<uint32_t, Client> clients_;
    std::map<uint32_t, std::unique_ptr<Node>> nodes_;
};

const pw_registry_events GraphReader::kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                       const spa_dict* props) {
        static_cast<GraphReader*>(data)->OnGlobal(id, type, props);
    };
    events.global_remove = [](void* data, uint32_t id) {
        static_cast<GraphReader*>(data)->OnGlobalRemove(id);
    };
    return events;
}();

const pw_node_events GraphReader::kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = [](void* data, const pw_node_info* info) {
        OnNodeInfo(*static_cast<Node*>(data), info);
    };
    return events;
}();

}  // namespace

std::optional<SetupFailure> ReadPlaybackStreams(const std::string& procRoot,
                                                const timespec& answerWithin,
                                                std::vector<PlaybackStream>& streams) {
    GraphReader reader(procRoot, answerWithin);
    return reader.Read(streams);
}
