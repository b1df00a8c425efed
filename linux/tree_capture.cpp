#include "linux/tree_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

constexpr const char kPlaybackStreamClass[] = "Stream/Output/Audio";
// How long the server gets to answer while the capture is being set up.
constexpr timespec kSetupTimeout{10, 0};

const char* Lookup(const spa_dict* props, const char* key) {
    return props == nullptr ? nullptr : spa_dict_lookup(props, key);
}

bool Equals(const char* value, const char* expected) {
    return value != nullptr && std::strcmp(value, expected) == 0;
}

}  // namespace

// A playback stream node, bound until its properties tell who plays it.
struct ProcessTreeCapture::BoundNode {
    ProcessTreeCapture* owner;
    uint32_t id;
    std::optional<uint32_t> clientId;
    NodePtr proxy;
    spa_hook listener{};

    ~BoundNode() { spa_hook_remove(&listener); }
};

// A link this client made from a captured port to a capture port.
struct ProcessTreeCapture::Link {
    ProcessTreeCapture* owner;
    LinkEnds ends;
    LinkPtr proxy;
    spa_hook listener{};

    ~Link() { spa_hook_remove(&listener); }
};

ProcessTreeCapture::ProcessTreeCapture(uint32_t target, TreeMode mode, PcmSink& output,
                                       ParentLookup parentOf, std::string procRoot)
    : target_(target),
      mode_(mode),
      output_(output),
      parentOf_(std::move(parentOf)),
      procRoot_(std::move(procRoot)) {}

ProcessTreeCapture::~ProcessTreeCapture() {
    // Listeners first, so that nothing calls back into a half-destroyed
    // capture; then links and bindings, the stream, the connection, the loop.
    inputWatch_.Reset();
    setupTimer_.Reset();
    retiredCleanup_.Reset();
    if (stream_) spa_hook_remove(&streamListener_);
    if (registry_) spa_hook_remove(&registryListener_);
    if (core_) spa_hook_remove(&coreListener_);
    links_.clear();
    pendingNodes_.clear();
    retiredLinks_.clear();
    retiredNodes_.clear();
    stream_.reset();
    registry_.reset();
    core_.reset();
    context_.reset();
    mainLoop_.reset();
}

// Event tables: the library calls these with the object they were added with.
const pw_core_events ProcessTreeCapture::kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = [](void* data, uint32_t id, int, int res, const char* message) {
        static_cast<ProcessTreeCapture*>(data)->OnCoreError(id, res, message);
    };
    return events;
}();

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

const pw_stream_events ProcessTreeCapture::kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                              const char* error) {
        static_cast<ProcessTreeCapture*>(data)->OnStreamState(state, error);
    };
    events.process = [](void* data) { static_cast<ProcessTreeCapture*>(data)->OnProcess(); };
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
    mainLoop_.reset(pw_main_loop_new(nullptr));
    if (!mainLoop_) return SetupFailure{errno, "cannot create the event loop"};
    loop_ = pw_main_loop_get_loop(mainLoop_.get());
    retiredCleanup_ = SourcePtr(
        loop_,
        AddEventSource(
            loop_,
            [](void* data, uint64_t) { static_cast<ProcessTreeCapture*>(data)->DestroyRetired(); },
            this));
    if (!retiredCleanup_) return SetupFailure{errno, "cannot create the event loop"};

    context_.reset(pw_context_new(loop_, nullptr, 0));
    if (!context_) return SetupFailure{errno, "cannot set up the PipeWire client library"};

    core_.reset(pw_context_connect(context_.get(), nullptr, 0));
    if (!core_) {
        // The library reports every way of finding no server as EHOSTDOWN.
        const int error = errno;
        if (error != EHOSTDOWN) return SetupFailure{error, "cannot connect to the PipeWire server"};
        return SetupFailure{error,
                            "no PipeWire server to connect to; start one, or point "
                            "XDG_RUNTIME_DIR or PIPEWIRE_REMOTE at it"};
    }
    AddCoreListener(core_.get(), &coreListener_, &kCoreEvents, this);

    registry_.reset(GetRegistry(core_.get()));
    if (!registry_) return SetupFailure{errno, "cannot watch the PipeWire graph"};
    AddRegistryListener(registry_.get(), &registryListener_, &kRegistryEvents, this);

    PropertiesPtr properties(pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_NODE_NAME, "harkwell",
                                               PW_KEY_NODE_AUTOCONNECT, "false", nullptr));
    if (!properties) return SetupFailure{errno, "cannot create the capture stream"};
    // The stream takes the properties, even when it fails.
    stream_.reset(pw_stream_new(core_.get(), "harkwell", properties.release()));
    if (!stream_) return SetupFailure{errno, "cannot create the capture stream"};
    pw_stream_add_listener(stream_.get(), &streamListener_, &kStreamEvents, this);

    uint8_t formatBuffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, formatBuffer, sizeof formatBuffer);
    const spa_pod* params[] = {BuildCaptureFormat(&builder)};
    // Not autoconnected: the session manager leaves it alone, and it is
    // linked only to the streams it captures. Buffers are processed on this
    // loop's thread.
    const int connected =
        pw_stream_connect(stream_.get(), PW_DIRECTION_INPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (connected < 0) return SetupFailure{-connected, "cannot connect the capture stream"};

    setupTimer_ = SourcePtr(loop_, AddTimerSource(
                                       loop_,
                                       [](void* data, uint64_t) {
                                           static_cast<ProcessTreeCapture*>(data)->Fail(
                                               ETIMEDOUT, "the PipeWire server did not answer");
                                       },
                                       this));
    if (!setupTimer_) return SetupFailure{errno, "cannot create the event loop"};
    ArmTimerSource(loop_, setupTimer_.Get(), kSetupTimeout);

    pw_main_loop_run(mainLoop_.get());
    setupTimer_.Reset();
    if (setupFailure_) return setupFailure_;
    return std::nullopt;
}

bool ProcessTreeCapture::Run(int input) {
    input_ = input;
    inputWatch_ =
        SourcePtr(loop_, AddIoSource(
                             loop_, input, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR,
                             [](void* data, int, uint32_t) {
                                 static_cast<ProcessTreeCapture*>(data)->OnInputReadable();
                             },
                             this));
    if (!inputWatch_) {
        // Files and devices such as /dev/null cannot be watched for input:
        // they never block, so they are read a piece per loop turn instead.
        inputWatch_ =
            SourcePtr(loop_, AddEventSource(
                                 loop_,
                                 [](void* data, uint64_t) {
                                     auto* self = static_cast<ProcessTreeCapture*>(data);
                                     self->OnInputReadable();
                                     if (!self->inputEnded_ && self->inputWatch_) {
                                         SignalEventSource(self->loop_, self->inputWatch_.Get());
                                     }
                                 },
                                 this));
        if (!inputWatch_) return false;
        SignalEventSource(loop_, inputWatch_.Get());
    }
    if (!failed_) pw_main_loop_run(mainLoop_.get());
    inputWatch_.Reset();
    return inputEnded_ && !failed_;
}

void ProcessTreeCapture::OnGlobal(uint32_t id, const char* type, const spa_dict* props) {
    if (Equals(type, PW_TYPE_INTERFACE_Client)) {
        clientPids_[id] = ParsePidProperty(Lookup(props, PW_KEY_SEC_PID));
    } else if (Equals(type, PW_TYPE_INTERFACE_Port)) {
        const std::optional<uint32_t> node = ParseNumberProperty(Lookup(props, PW_KEY_NODE_ID));
        const char* direction = Lookup(props, PW_KEY_PORT_DIRECTION);
        const char* channel = Lookup(props, PW_KEY_AUDIO_CHANNEL);
        if (!node || direction == nullptr || channel == nullptr) return;
        if (Equals(Lookup(props, PW_KEY_PORT_MONITOR), "true")) return;
        CreateLinks(table_.AddPort(
            id, *node,
            Equals(direction, "out") ? LinkTable::Direction::kOutput : LinkTable::Direction::kInput,
            channel));
    } else if (Equals(type, PW_TYPE_INTERFACE_Node)) {
        if (!Equals(Lookup(props, PW_KEY_MEDIA_CLASS), kPlaybackStreamClass)) return;
        // The global does not say which process plays: bind the node and
        // read its full properties.
        auto node = std::make_unique<BoundNode>();
        node->owner = this;
        node->id = id;
        node->clientId = ParseNumberProperty(Lookup(props, PW_KEY_CLIENT_ID));
        node->proxy.reset(BindNode(registry_.get(), id));
        if (!node->proxy) return;
        AddNodeListener(node->proxy.get(), &node->listener, &kNodeEvents, node.get());
        pendingNodes_[id] = std::move(node);
    }
}

void ProcessTreeCapture::OnGlobalRemove(uint32_t id) {
    clientPids_.erase(id);
    const auto pending = pendingNodes_.find(id);
    if (pending != pendingNodes_.end()) {
        Retire(std::move(pending->second));
        pendingNodes_.erase(pending);
    }
    DropLinks(table_.Remove(id));
}

void ProcessTreeCapture::OnNodeInfo(BoundNode& node, const spa_dict* props) {
    StreamOwnerFacts facts;
    if (!node.clientId) node.clientId = ParseNumberProperty(Lookup(props, PW_KEY_CLIENT_ID));
    if (node.clientId) {
        const auto client = clientPids_.find(*node.clientId);
        if (client != clientPids_.end()) facts.clientSocketPid = client->second;
    }
    facts.nodeFromPulseBridge = Equals(Lookup(props, PW_KEY_CLIENT_API), kPulseBridgeApi.data());
    facts.nodeApplicationPid = ParsePidProperty(Lookup(props, PW_KEY_APP_PROCESS_ID));
    if (facts.nodeFromPulseBridge && facts.clientSocketPid) {
        facts.socketPidRunsPipeWire = RunsPipeWire(procRoot_, *facts.clientSocketPid);
    }
    const uint32_t id = node.id;
    if (Captures(facts)) CreateLinks(table_.CaptureNode(id));

    const auto pending = pendingNodes_.find(id);
    if (pending != pendingNodes_.end()) {
        Retire(std::move(pending->second));
        pendingNodes_.erase(pending);
    }
}

bool ProcessTreeCapture::Captures(const StreamOwnerFacts& facts) const {
    const std::optional<uint32_t> owner = StreamOwnerPid(facts);
    const bool inTree = owner && IsInProcessTree(*owner, target_, parentOf_);
    return mode_ == TreeMode::kInclude ? inTree : !inTree;
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
        link->proxy.reset(CreateLink(core_.get(), &properties));
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

void ProcessTreeCapture::Retire(std::unique_ptr<BoundNode> node) {
    spa_hook_remove(&node->listener);
    node->listener = spa_hook{};
    retiredNodes_.push_back(std::move(node));
    SignalEventSource(loop_, retiredCleanup_.Get());
}

void ProcessTreeCapture::Retire(std::unique_ptr<Link> link) {
    spa_hook_remove(&link->listener);
    link->listener = spa_hook{};
    retiredLinks_.push_back(std::move(link));
    SignalEventSource(loop_, retiredCleanup_.Get());
}

void ProcessTreeCapture::DestroyRetired() {
    retiredNodes_.clear();
    retiredLinks_.clear();
}

void ProcessTreeCapture::OnCoreError(uint32_t id, int res, const char* message) {
    // Errors about other objects reach their own proxies; one about the
    // connection itself (the server went away) ends everything.
    if (id != PW_ID_CORE) return;
    Fail(-res, message != nullptr && *message != '\0'
                   ? std::string("the PipeWire server failed: ") + message
                   : "the PipeWire server failed");
}

void ProcessTreeCapture::OnStreamState(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
        Fail(EIO, std::string("the capture stream failed: ") + (error != nullptr ? error : ""));
        return;
    }
    if (state == PW_STREAM_STATE_UNCONNECTED && started_) {
        // The server took the stream away (its node was destroyed): nothing
        // more can be captured.
        Fail(ENOTCONN, "the capture stream was disconnected");
        return;
    }
    if (started_ || (state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING)) {
        return;
    }
    const uint32_t node = pw_stream_get_node_id(stream_.get());
    if (node == SPA_ID_INVALID) return;
    started_ = true;
    CreateLinks(table_.SetCaptureNode(node));
    pw_main_loop_quit(mainLoop_.get());
}

void ProcessTreeCapture::OnProcess() {
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_.get())) {
        const spa_buffer* spaBuffer = buffer->buffer;
        if (spaBuffer->n_datas > 0) {
            const spa_data& data = spaBuffer->datas[0];
            if (data.data != nullptr && data.chunk != nullptr) {
                const uint32_t offset = std::min(data.chunk->offset, data.maxsize);
                const uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
                if (size != 0) {
                    output_.Write(static_cast<const uint8_t*>(data.data) + offset, size);
                    output_.Flush();
                }
            }
        }
        pw_stream_queue_buffer(stream_.get(), buffer);
    }
}

void ProcessTreeCapture::OnInputReadable() {
    char discarded[4096];
    const ssize_t count = read(input_, discarded, sizeof discarded);
    if (count > 0) return;
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    // End of file, a closed pipe or a read error: the caller wants us to stop.
    StopAtEndOfInput();
}

void ProcessTreeCapture::Fail(int error, std::string reason) {
    if (!started_ && !setupFailure_) setupFailure_ = SetupFailure{error, std::move(reason)};
    failed_ = true;
    pw_main_loop_quit(mainLoop_.get());
}

void ProcessTreeCapture::StopAtEndOfInput() {
    inputEnded_ = true;
    pw_main_loop_quit(mainLoop_.get());
}
