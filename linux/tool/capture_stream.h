// Harkwell's capture stream: a node that takes sound in at one input port
// per position of kCaptureChannels, lets its own converter mix that down to
// the stereo format Harkwell writes, and hands every buffer to the output.
// It is connected to nothing on its own: whoever runs it links ports to it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "common/pcm_sink.h"
#include "linux/pipewire/pipewire_api.h"
#include "linux/pipewire/pipewire_connection.h"

class CaptureStream {
public:
    struct Handlers {
        // Once, when the server has made the stream's node: the capture is in
        // the graph, though its ports may still be configured.
        std::function<void(uint32_t node)> created;
        // Once, when the node exists with its input ports configured.
        std::function<void(uint32_t node)> ready;
        // When the stream fails or the server takes it away.
        std::function<void(int error, std::string reason)> failed;
        // After each buffer has been written; false stops taking buffers
        // for this turn (the capture is ending).
        std::function<bool()> keepGoing;
    };

    explicit CaptureStream(PcmSink& output) : output_(output) {}
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Creates and connects the stream.
    std::optional<SetupFailure> Connect(pw_core* core, Handlers handlers);
    // Destroys the stream and its node proxy; they must go before the
    // registry and the connection do.
    void Close();

private:
    void OnStateChanged(pw_stream_state state, const char* error);
    void OnNodeGlobal(uint32_t id);
    void ConfigurePorts();
    void OnNodeInfo(const pw_node_info& info);
    void RequestPorts();
    void OnProcess();

    static const pw_stream_events kStreamEvents;
    static const pw_node_events kNodeEvents;
    static const pw_registry_events kRegistryEvents;

    PcmSink& output_;
    Handlers handlers_;
    pw_core* core_ = nullptr;
    // Reaches the stream's own node, to learn when its ports are in place.
    RegistryPtr registry_;
    // The node can only be bound once the registry has announced it, which
    // may come before or after the stream learns its node's id.
    spa_hook registryListener_{};
    bool registryListening_ = false;
    std::set<uint32_t> announcedNodes_;
    StreamPtr stream_;
    spa_hook streamListener_{};
    // The stream's own node, bound to set its port configuration and to
    // learn when its ports are in place.
    ProxyPtr node_;
    spa_hook nodeListener_{};
    // A second connection that carries the port configuration, until the
    // node has its new ports.
    CorePtr helperCore_;
    RegistryPtr helperRegistry_;
    ProxyPtr helperNode_;
    uint32_t nodeId_ = SPA_ID_INVALID;
    bool hasPorts_ = false;
    bool portsRequested_ = false;
    bool ready_ = false;
};
