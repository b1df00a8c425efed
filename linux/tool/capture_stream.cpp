#include "linux/tool/capture_stream.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "linux/tool/capture_format.h"

const pw_stream_events CaptureStream::kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                              const char* error) {
        static_cast<CaptureStream*>(data)->OnStateChanged(state, error);
    };
    events.process = [](void* data) { static_cast<CaptureStream*>(data)->OnProcess(); };
    return events;
}();

const pw_node_events CaptureStream::kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = [](void* data, const pw_node_info* info) {
        static_cast<CaptureStream*>(data)->OnNodeInfo(*info);
    };
    return events;
}();

const pw_registry_events CaptureStream::kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                       const spa_dict*) {
        if (PropertyEquals(type, PW_TYPE_INTERFACE_Node)) {
            static_cast<CaptureStream*>(data)->OnNodeGlobal(id);
        }
    };
    return events;
}();

CaptureStream::~CaptureStream() {
    Close();
}

void CaptureStream::Close() {
    if (registryListening_) spa_hook_remove(&registryListener_);
    registryListening_ = false;
    if (node_) spa_hook_remove(&nodeListener_);
    if (stream_) spa_hook_remove(&streamListener_);
    node_.reset();
    helperNode_.reset();
    helperRegistry_.reset();
    helperCore_.reset();
    stream_.reset();
    registry_.reset();
}

std::optional<SetupFailure> CaptureStream::Connect(pw_core* core, Handlers handlers) {
    handlers_ = std::move(handlers);
    core_ = core;
    registry_.reset(GetRegistry(core));
    if (!registry_) return SetupFailure{errno, "cannot watch the PipeWire graph"};
    AddRegistryListener(registry_.get(), &registryListener_, &kRegistryEvents, this);
    registryListening_ = true;
    PropertiesPtr properties(pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_NODE_NAME, "harkwell",
                                               PW_KEY_NODE_AUTOCONNECT, "false", nullptr));
    if (!properties) return SetupFailure{errno, "cannot create the capture stream"};
    // The stream takes the properties, even when it fails.
    stream_.reset(pw_stream_new(core, "harkwell", properties.release()));
    if (!stream_) return SetupFailure{errno, "cannot create the capture stream"};
    pw_stream_add_listener(stream_.get(), &streamListener_, &kStreamEvents, this);

    uint8_t formatBuffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, formatBuffer, sizeof formatBuffer);
    const spa_pod* params[] = {BuildPcmFormat(&builder), BuildCaptureBuffers(&builder)};
    // Not autoconnected: the session manager leaves it alone. Buffers are
    // processed on the main loop's thread.
    const int connected =
        pw_stream_connect(stream_.get(), PW_DIRECTION_INPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS), params,
                          static_cast<uint32_t>(std::size(params)));
    if (connected < 0) return SetupFailure{-connected, "cannot connect the capture stream"};
    return std::nullopt;
}

void CaptureStream::OnStateChanged(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
        handlers_.failed(EIO, std::string("the capture stream failed: ") + (error ? error : ""));
        return;
    }
    if (state == PW_STREAM_STATE_UNCONNECTED && nodeId_ != SPA_ID_INVALID) {
        // The server took the stream away (its node was destroyed): nothing
        // more can be captured.
        handlers_.failed(ENOTCONN, "the capture stream was disconnected");
        return;
    }
    if (nodeId_ != SPA_ID_INVALID ||
        (state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING)) {
        return;
    }
    const uint32_t node = pw_stream_get_node_id(stream_.get());
    if (node == SPA_ID_INVALID) return;
    nodeId_ = node;
    if (handlers_.created) handlers_.created(node);
    if (announcedNodes_.count(node) != 0) ConfigurePorts();
    announcedNodes_.clear();
}

void CaptureStream::OnNodeGlobal(uint32_t id) {
    if (nodeId_ == SPA_ID_INVALID) {
        announcedNodes_.insert(id);
    } else if (id == nodeId_ && !node_) {
        ConfigurePorts();
    }
}

void CaptureStream::ConfigurePorts() {
    // The stream's node starts with ports for its own two channels; ask it
    // for a port per capture position instead. The library's stream has no
    // call for this in this version, so it goes through the node, as any
    // client could send it.
    node_.reset(BindNode(registry_.get(), nodeId_));
    if (!node_) {
        handlers_.failed(errno, "cannot configure the capture stream's ports");
        return;
    }
    AddNodeListener(node_.get(), &nodeListener_, &kNodeEvents, this);
}

void CaptureStream::OnNodeInfo(const pw_node_info& info) {
    if (ready_ || info.n_input_ports == 0) return;
    if (info.n_input_ports == std::size(kCaptureChannels)) {
        ready_ = true;
        helperNode_.reset();
        helperRegistry_.reset();
        helperCore_.reset();
        handlers_.ready(nodeId_);
    } else {
        hasPorts_ = true;
        RequestPorts();
    }
}

void CaptureStream::RequestPorts() {
    // Once the stream has its format and its node its first ports: a
    // configuration sent earlier is overtaken by the stream's own.
    if (portsRequested_ || !hasPorts_) return;
    portsRequested_ = true;
    // Sent from a second connection: the server stops reading a client that
    // sets a parameter until the node has answered, and this node answers
    // through the first connection, which must therefore stay free.
    helperCore_.reset(pw_context_connect(pw_core_get_context(core_), nullptr, 0));
    if (helperCore_) helperRegistry_.reset(GetRegistry(helperCore_.get()));
    if (helperRegistry_) helperNode_.reset(BindNode(helperRegistry_.get(), nodeId_));
    if (!helperNode_) {
        handlers_.failed(errno, "cannot configure the capture stream's ports");
        return;
    }
    uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    const int set =
        SetNodeParam(helperNode_.get(), SPA_PARAM_PortConfig, BuildCapturePortConfig(&builder));
    if (set < 0) handlers_.failed(-set, "cannot configure the capture stream's ports");
}

void CaptureStream::OnProcess() {
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
        if (!handlers_.keepGoing()) return;
    }
}
