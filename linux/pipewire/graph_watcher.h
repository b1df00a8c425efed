// The registry side of the graph: one listener on the PipeWire registry that
// feeds a PlaybackGraph with every client, node, port and link, and binds
// what it must to read more than the registry shows (every node once, for its
// link group, claims and state, and playback streams for as long as they
// live, for their formats; clients of a PipeWire process, for the
// player behind the PulseAudio bridge). Runs on the connection's loop.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "linux/pipewire/pipewire_api.h"
#include "linux/pipewire/pipewire_connection.h"
#include "linux/pipewire/playback_graph.h"

class GraphWatcher {
public:
    // Executables and sandboxes are read from procRoot, normally "/proc".
    GraphWatcher(PlaybackGraph& graph, std::string procRoot);
    ~GraphWatcher();
    GraphWatcher(const GraphWatcher&) = delete;
    GraphWatcher& operator=(const GraphWatcher&) = delete;

    // Starts listening; the graph is fed from the loop from now on.
    std::optional<SetupFailure> Watch(pw_core* core);
    // Stops listening and lets go of every proxy; before the core goes.
    void Stop();

private:
    struct Bound;

    void OnGlobal(uint32_t id, const char* type, const spa_dict* props);
    void OnGlobalRemove(uint32_t id);
    void OnClientInfo(uint32_t id, const spa_dict* props);
    void OnNodeInfo(uint32_t id, const pw_node_info& info);
    void OnNodeParam(uint32_t id, uint32_t param, uint32_t index, const spa_pod* value);
    void BindClient(uint32_t id);
    // Binds a node; a playback stream's formats are followed too.
    void BindNode(uint32_t id, bool playbackStream);

    static const pw_registry_events kRegistryEvents;
    static const pw_client_events kClientEvents;
    static const pw_node_events kNodeEvents;

    PlaybackGraph& graph_;
    std::string procRoot_;
    RegistryPtr registry_;
    spa_hook registryListener_{};
    // Clients until their properties arrive; nodes for as long as they live.
    std::map<uint32_t, std::unique_ptr<Bound>> clients_;
    std::map<uint32_t, std::unique_ptr<Bound>> nodes_;
};

// The resolver of claimed pids against <procRoot>.
PidClaimResolver HostPidClaims(std::string procRoot);
