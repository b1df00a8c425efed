#include "linux/tool/tree_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "common/answer_bound.h"
#include "linux/tool/capture_format.h"

// A proxy held with its one listener. The listener goes before the proxy, so
// that no event reaches a holder that is being destroyed.
struct ProcessTreeCapture::Binding {
    ProcessTreeCapture* owner = nullptr;
    ProxyPtr proxy;
    spa_hook listener{};

    virtual ~Binding() { spa_hook_remove(&listener); }
};

// A client of a PipeWire process, bound until its properties are read.
struct ProcessTreeCapture::BoundClient : Binding {
    uint32_t id = 0;
};

// A playback stream node whose client the registry did not show, bound until
// its own properties tell who plays it.
struct ProcessTreeCapture::BoundNode : Binding {
    uint32_t id = 0;
};

// A link this client made from a captured port to a capture port.
struct ProcessTreeCapture::Link : Binding {
    LinkEnds ends{};
};

ProcessTreeCapture::ProcessTreeCapture(uint32_t target, TreeMode mode, PcmSink& output,
                                       ProcessTable processes, std::string procRoot)
    : target_(target),
      mode_(mode),
      tree_(target, std::move(processes)),
      procRoot_(std::move(procRoot)),
      stream_(output) {}

ProcessTreeCapture::~ProcessTreeCapture() {
    // Listeners first, so that nothing calls back into a half-destroyed
    // capture; then links and bindings, the stream, the connection, the loop.
    // (The connection's own handlers run only from the loop, which has
    // stopped.)
    treeRefresh_.Reset();
    retiredCleanup_.Reset();
    if (registry_) spa_hook_remove(&registryListener_);
    links_.clear();
    pendingClients_.clear();
    pendingNodes_.clear();
    retired_.clear();
    stream_.Close();
    registry_.reset();
    connection_.Close();
}

// Event tables: the library calls these with the object they were added with.
const pw_registry_events ProcessTreeCapture::kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                       const spa_dict* props) {
        static_cast<ProcessTreeCapture*>(data)->OnGlobal(id, type, props);
    };
    events.global_remove = [](void* data, uint32_t id) {
        static_cast<ProcessTreeCapture*>(data)->OnGlobalRemove(id);
    };
    return events;
}();

const pw_client_events ProcessTreeCapture::kClientEvents = [] {
    pw_client_events events{};
    events.version = PW_VERSION_CLIENT_EVENTS;
    events.info = [](void* data, const pw_client_info* info) {
        auto* client = static_cast<BoundClient*>(data);
        if ((info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) != 0) {
            client->owner->OnClientInfo(*client, info->props);
        }
    };
    return events;
}();

const pw_node_events ProcessTreeCapture::kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = [](void* data, const pw_node_info* info) {
        auto* node = static_cast<BoundNode*>(data);
        if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0) {
            node->owner->OnNodeInfo(*node, info->props);
        }
    };
    return events;
}();

const pw_proxy_events ProcessTreeCapture::kLinkEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    // The server removed the link (one of its ports went) or refused it.
    events.removed = [](void* data) {
        auto* link = static_cast<Link*>(data);
        link->owner->OnLinkGone(link->ends);
    };
    events.error = [](void* data, int, int, const char*) {
        auto* link = static_cast<Link*>(data);
        link->owner->OnLinkGone(link->ends);
    };
    return events;
}();

std::optional<SetupFailure> ProcessTreeCapture::Start() {
    if (std::optional<SetupFailure> failure = connection_.Connect(
            [this](int error, std::string reason) { Fail(error, std::move(reason)); })) {
        return failure;
    }
    pw_loop* loop = connection_.Loop();
    retiredCleanup_ = LoopSource(
        loop,
        AddEventSource(
            loop,
            [](void* data, uint64_t) { static_cast<ProcessTreeCapture*>(data)->DestroyRetired(); },
            this));
    if (!retiredCleanup_) return SetupFailure{errno, "cannot create the event loop"};
    treeRefresh_ = LoopSource(loop, AddTimerSource(
                                        loop,
                                        [](void* data, uint64_t) {
                                            static_cast<ProcessTreeCapture*>(data)->tree_.Refresh();
                                        },
                                        this));
    if (!treeRefresh_ ||
        ArmRepeatingTimerSource(loop, treeRefresh_.Get(), timespec{0, kTreeRefreshNs}) < 0) {
        return SetupFailure{errno, "cannot create the event loop"};
    }

    registry_.reset(GetRegistry(connection_.Core()));
    if (!registry_) return SetupFailure{errno, "cannot watch the PipeWire graph"};
    AddRegistryListener(registry_.get(), &registryListener_, &kRegistryEvents, this);

    CaptureStream::Handlers handlers;
    handlers.ready = [this](uint32_t node) { OnCaptureReady(node); };
    handlers.failed = [this](int error, std::string reason) { Fail(error, std::move(reason)); };
    handlers.keepGoing = [this] {
        if (input_ != nullptr && input_->Ended()) StopAtEndOfInput();
        return !inputEnded_;
    };
    if (std::optional<SetupFailure> failure =
            stream_.Connect(connection_.Core(), registry_.get(), std::move(handlers))) {
        return failure;
    }

    if (std::optional<SetupFailure> failure =
            connection_.SetDeadline(timespec{static_cast<time_t>(kAnswerSeconds), 0})) {
        return failure;
    }
    pw_main_loop_run(connection_.MainLoop());
    connection_.CancelDeadline();
    if (setupFailure_) return setupFailure_;
    return std::nullopt;
}

bool ProcessTreeCapture::Run(InputReader& input) {
    input_ = &input;
    InputWatch watch(input, [this] { StopAtEndOfInput(); });
    if (!watch.Start(connection_.Loop())) return false;
    if (!failed_ && !input.Ended()) pw_main_loop_run(connection_.MainLoop());
    watch.Stop();
    return input.Ended() && !failed_;
}

void ProcessTreeCapture::OnGlobal(uint32_t id, const char* type, const spa_dict* props) {
    if (PropertyEquals(type, PW_TYPE_INTERFACE_Client)) {
        OnClientGlobal(id, props);
    } else if (PropertyEquals(type, PW_TYPE_INTERFACE_Node)) {
        if (PropertyEquals(LookupProperty(props, PW_KEY_MEDIA_CLASS), kPlaybackStreamClass)) {
            OnStreamNodeGlobal(id, props);
        }
    } else if (PropertyEquals(type, PW_TYPE_INTERFACE_Port)) {
        const std::optional<uint32_t> node =
            ParseNumberProperty(LookupProperty(props, PW_KEY_NODE_ID));
        const char* direction = LookupProperty(props, PW_KEY_PORT_DIRECTION);
        const char* channel = LookupProperty(props, PW_KEY_AUDIO_CHANNEL);
        if (!node || direction == nullptr || channel == nullptr) return;
        if (PropertyEquals(LookupProperty(props, PW_KEY_PORT_MONITOR), "true")) return;
        CreateLinks(table_.AddPort(id, *node,
                                   PropertyEquals(direction, "out") ? LinkTable::Direction::kOutput
                                                                    : LinkTable::Direction::kInput,
                                   channel));
    }
}

void ProcessTreeCapture::OnClientGlobal(uint32_t id, const spa_dict* props) {
    ClientFacts& client = clients_[id];
    client.socketPid = ParsePidProperty(LookupProperty(props, PW_KEY_SEC_PID));
    client.runsPipeWire = client.socketPid && RunsPipeWire(procRoot_, *client.socketPid);
    if (!client.runsPipeWire) return;
    auto bound = std::make_unique<BoundClient>();
    bound->owner = this;
    bound->id = id;
    bound->proxy.reset(BindClient(registry_.get(), id));
    if (!bound->proxy) {
        client.described = true;  // nothing more to learn: judged by its socket pid
        return;
    }
    AddClientListener(bound->proxy.get(), &bound->listener, &kClientEvents, bound.get());
    pendingClients_[id] = std::move(bound);
}

void ProcessTreeCapture::OnStreamNodeGlobal(uint32_t id, const spa_dict* props) {
    const std::optional<uint32_t> clientId =
        ParseNumberProperty(LookupProperty(props, PW_KEY_CLIENT_ID));
    const auto client = clientId ? clients_.find(*clientId) : clients_.end();
    if (client != clients_.end()) {
        // Most streams are decided here, from what is already known, so that
        // their links are made before they start to play.
        if (!client->second.runsPipeWire || client->second.described) {
            DecideNode(id, OwnerFacts(client->second));
        } else {
            client->second.waitingNodes.push_back(id);
        }
        return;
    }
    // No client to go by: bind the node and read its own properties.
    auto bound = std::make_unique<BoundNode>();
    bound->owner = this;
    bound->id = id;
    bound->proxy.reset(BindNode(registry_.get(), id));
    if (!bound->proxy) {
        DecideNode(id, StreamOwnerFacts{});
        return;
    }
    AddNodeListener(bound->proxy.get(), &bound->listener, &kNodeEvents, bound.get());
    pendingNodes_[id] = std::move(bound);
}

void ProcessTreeCapture::OnGlobalRemove(uint32_t id) {
    clients_.erase(id);
    // A stream that goes before its client was described is not decided.
    for (auto& entry : clients_) {
        std::vector<uint32_t>& waiting = entry.second.waitingNodes;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), id), waiting.end());
    }
    const auto client = pendingClients_.find(id);
    if (client != pendingClients_.end()) {
        Retire(std::move(client->second));
        pendingClients_.erase(client);
    }
    const auto node = pendingNodes_.find(id);
    if (node != pendingNodes_.end()) {
        Retire(std::move(node->second));
        pendingNodes_.erase(node);
    }
    DropLinks(table_.Remove(id));
}

void ProcessTreeCapture::OnClientInfo(BoundClient& bound, const spa_dict* props) {
    const uint32_t id = bound.id;
    const auto pending = pendingClients_.find(id);
    if (pending != pendingClients_.end()) {
        Retire(std::move(pending->second));
        pendingClients_.erase(pending);
    }
    const auto found = clients_.find(id);
    if (found == clients_.end()) return;
    ClientFacts& client = found->second;
    client.described = true;
    client.fromPulseBridge =
        PropertyEquals(LookupProperty(props, PW_KEY_CLIENT_API), kPulseBridgeApi.data());
    client.claimedPid = ParsePidProperty(LookupProperty(props, PW_KEY_APP_PROCESS_ID));
    const std::vector<uint32_t> waiting = std::move(client.waitingNodes);
    client.waitingNodes.clear();
    for (uint32_t node : waiting)
        DecideNode(node, OwnerFacts(client));
}

void ProcessTreeCapture::OnNodeInfo(BoundNode& bound, const spa_dict* props) {
    const uint32_t id = bound.id;
    const auto pending = pendingNodes_.find(id);
    if (pending != pendingNodes_.end()) {
        Retire(std::move(pending->second));
        pendingNodes_.erase(pending);
    }
    StreamOwnerFacts facts;
    facts.fromPulseBridge =
        PropertyEquals(LookupProperty(props, PW_KEY_CLIENT_API), kPulseBridgeApi.data());
    facts.claimedPid = ParsePidProperty(LookupProperty(props, PW_KEY_APP_PROCESS_ID));
    DecideNode(id, facts);
}

StreamOwnerFacts ProcessTreeCapture::OwnerFacts(const ClientFacts& client) const {
    StreamOwnerFacts facts;
    facts.clientSocketPid = client.socketPid;
    facts.socketPidRunsPipeWire = client.runsPipeWire;
    facts.fromPulseBridge = client.fromPulseBridge;
    facts.claimedPid = client.claimedPid;
    return facts;
}

void ProcessTreeCapture::DecideNode(uint32_t node, const StreamOwnerFacts& facts) {
    const std::optional<uint32_t> owner = StreamOwnerPid(facts);
    const bool inTree = owner && tree_.Contains(*owner);
    if (inTree == (mode_ == TreeMode::kInclude)) CreateLinks(table_.CaptureNode(node));
}

void ProcessTreeCapture::CreateLinks(const std::vector<LinkEnds>& wanted) {
    for (const LinkEnds& ends : wanted) {
        char outputNode[16], outputPort[16], inputNode[16], inputPort[16];
        std::snprintf(outputNode, sizeof outputNode, "%u", ends.outputNode);
        std::snprintf(outputPort, sizeof outputPort, "%u", ends.outputPort);
        std::snprintf(inputNode, sizeof inputNode, "%u", ends.inputNode);
        std::snprintf(inputPort, sizeof inputPort, "%u", ends.inputPort);
        const spa_dict_item items[] = {
            {PW_KEY_LINK_OUTPUT_NODE, outputNode},
            {PW_KEY_LINK_OUTPUT_PORT, outputPort},
            {PW_KEY_LINK_INPUT_NODE, inputNode},
            {PW_KEY_LINK_INPUT_PORT, inputPort},
            // Gone with this client, however it ends.
            {PW_KEY_OBJECT_LINGER, "false"},
        };
        const spa_dict properties{0, static_cast<uint32_t>(std::size(items)), items};

        auto link = std::make_unique<Link>();
        link->owner = this;
        link->ends = ends;
        link->proxy.reset(CreateLink(connection_.Core(), &properties));
        if (!link->proxy) {
            table_.ForgetLink(ends);
            continue;
        }
        pw_proxy_add_listener(link->proxy.get(), &link->listener, &kLinkEvents, link.get());
        links_[ends] = std::move(link);
    }
}

void ProcessTreeCapture::DropLinks(const std::vector<LinkEnds>& gone) {
    for (const LinkEnds& ends : gone) {
        const auto link = links_.find(ends);
        if (link == links_.end()) continue;
        Retire(std::move(link->second));
        links_.erase(link);
    }
}

void ProcessTreeCapture::OnLinkGone(const LinkEnds& ends) {
    table_.ForgetLink(ends);
    DropLinks({ends});
}

void ProcessTreeCapture::Retire(std::unique_ptr<Binding> binding) {
    spa_hook_remove(&binding->listener);
    binding->listener = spa_hook{};
    retired_.push_back(std::move(binding));
    SignalEventSource(connection_.Loop(), retiredCleanup_.Get());
}

void ProcessTreeCapture::DestroyRetired() {
    retired_.clear();
}

void ProcessTreeCapture::OnCaptureReady(uint32_t node) {
    started_ = true;
    CreateLinks(table_.SetCaptureNode(node));
    pw_main_loop_quit(connection_.MainLoop());
}

void ProcessTreeCapture::Fail(int error, std::string reason) {
    if (!started_ && !setupFailure_) setupFailure_ = SetupFailure{error, std::move(reason)};
    failed_ = true;
    pw_main_loop_quit(connection_.MainLoop());
}

void ProcessTreeCapture::StopAtEndOfInput() {
    inputEnded_ = true;
    pw_main_loop_quit(connection_.MainLoop());
}
