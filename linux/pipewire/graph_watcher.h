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
    void OnMetadataProperty(uint32_t subject, const char* key, const char* value);
    void BindDefaultMetadata(uint32_t id);
    // Until the session manager moves the stream, or kMoveWaitNs.
    void WaitForMove(uint32_t stream);
    void BindClient(uint32_t id);
    // Binds a node; a playback stream's formats are followed too.
    void BindNode(uint32_t id, bool playbackStream);

    static const pw_registry_events kRegistryEvents;
    static const pw_client_events kClientEvents;
    static const pw_node_events kNodeEvents;
    static const pw_metadata_events kMetadataEvents;

    // How long a stream given another target (or following a default sink
    // that changed) waits for the session manager
    // to move it before it is taken to stay where it is (its capture is
    // paused that long when nothing comes of a move, as for a move to the
    // default sink of a stream that plays there already). Moves were done
    // 23 to 68 ms after pactl asked for them on the tests' server.
    static constexpr long kMoveWaitNs = 300'000'000;

    PlaybackGraph& graph_;
    std::string procRoot_;
    RegistryPtr registry_;
    spa_hook registryListener_{};
    // Clients until their properties arrive; nodes for as long as they live.
    std::map<uint32_t, std::unique_ptr<Bound>> clients_;
    std::map<uint32_t, std::unique_ptr<Bound>> nodes_;
    // The default metadata, where streams are given their targets.
    std::unique_ptr<Bound> metadata_;
    pw_loop* loop_ = nullptr;
    // A timer for each stream being moved.
    std::map<uint32_t, std::unique_ptr<Bound>> moves_;
};

// The resolver of claimed pids against <procRoot>.
PidClaimResolver HostPidClaims(std::string procRoot);
