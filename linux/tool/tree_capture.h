// The capture of what one process tree plays (or of what everything else
// plays) on a PipeWire server.
//
// One capture stream, connected to nothing on its own, receives the sound:
// a registry listener watches the graph, and every output port of a matching
// playback stream is linked to the capture's input port of the same channel.
// The server mixes what arrives on a port. Streams are never moved, and the
// links belong to this client, so the server removes them when it goes.
//
// Everything runs on one thread, in the main loop: registry events, the
// stream's buffers and standard input.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/pcm_sink.h"
#include "linux/pipewire/pipewire_api.h"
#include "linux/pipewire/pipewire_connection.h"
#include "linux/pipewire/stream_owner.h"
#include "linux/process/tree_tracker.h"
#include "linux/tool/capture_stream.h"
#include "linux/tool/input_watch.h"
#include "linux/tool/link_table.h"
#include "linux/tool/tree_mode.h"

class ProcessTreeCapture {
public:
    // The tree is target and its descendants as the tracker sees them;
    // executables are read from procRoot (normally "/proc").
    ProcessTreeCapture(uint32_t target, TreeMode mode, PcmSink& output, ProcessTable processes,
                       std::string procRoot);
    ~ProcessTreeCapture();
    ProcessTreeCapture(const ProcessTreeCapture&) = delete;
    ProcessTreeCapture& operator=(const ProcessTreeCapture&) = delete;

    // Connects to the server and waits until the capture stream is ready.
    std::optional<SetupFailure> Start();

    // Captures until the input (normally standard input) ends, then returns
    // true; returns false at once when the server fails or goes away.
    bool Run(InputReader& input);

private:
    struct Binding;
    struct BoundClient;
    struct BoundNode;
    struct Link;

    // What is known of a client. The registry shows its socket pid; a client
    // of a PipeWire process (the PulseAudio bridge, for one) is bound as soon
    // as it appears to read what it claims, so that its streams can be told
    // apart the moment they appear, before they start to play.
    struct ClientFacts {
        std::optional<uint32_t> socketPid;
        bool runsPipeWire = false;
        bool described = false;  // its own properties have been read
        bool fromPulseBridge = false;
        std::optional<uint32_t> claimedPid;
        std::vector<uint32_t> waitingNodes;  // stream nodes to decide once described
    };

    // Registry and stream events (the event tables live in the .cpp).
    void OnGlobal(uint32_t id, const char* type, const spa_dict* props);
    void OnClientGlobal(uint32_t id, const spa_dict* props);
    void OnStreamNodeGlobal(uint32_t id, const spa_dict* props);
    void OnGlobalRemove(uint32_t id);
    void OnClientInfo(BoundClient& client, const spa_dict* props);
    void OnNodeInfo(BoundNode& node, const spa_dict* props);
    void OnCaptureReady(uint32_t node);
    void OnLinkGone(const LinkEnds& ends);

    StreamOwnerFacts OwnerFacts(const ClientFacts& client) const;
    void DecideNode(uint32_t node, const StreamOwnerFacts& facts);
    void CreateLinks(const std::vector<LinkEnds>& wanted);
    void DropLinks(const std::vector<LinkEnds>& gone);
    // Proxies cannot be destroyed inside their own events: they are retired
    // and destroyed from the loop right after.
    void Retire(std::unique_ptr<Binding> binding);
    void DestroyRetired();
    void Fail(int error, std::string reason);
    void StopAtEndOfInput();

    uint32_t target_;
    TreeMode mode_;
    ProcessTreeTracker tree_;
    std::string procRoot_;

    PipeWireConnection connection_;
    RegistryPtr registry_;
    spa_hook registryListener_{};
    CaptureStream stream_;
    LoopSource retiredCleanup_;
    // Looks at the process table now and then, so that a process seen in
    // the tree is known before a parent of it exits.
    LoopSource treeRefresh_;
    InputReader* input_ = nullptr;

    std::map<uint32_t, ClientFacts> clients_;
    // Clients and nodes bound to read their properties, by id.
    std::map<uint32_t, std::unique_ptr<BoundClient>> pendingClients_;
    std::map<uint32_t, std::unique_ptr<BoundNode>> pendingNodes_;
    LinkTable table_;
    std::map<LinkEnds, std::unique_ptr<Link>> links_;
    std::vector<std::unique_ptr<Binding>> retired_;

    static const pw_registry_events kRegistryEvents;
    static const pw_client_events kClientEvents;
    static const pw_node_events kNodeEvents;
    static const pw_proxy_events kLinkEvents;

    // How often the process table is looked at for new members of the tree;
    // a look costs one read when no process has started since the last.
    static constexpr long kTreeRefreshNs = 50'000'000;

    bool started_ = false;  // the stream became ready
    std::optional<SetupFailure> setupFailure_;
    bool inputEnded_ = false;
    bool failed_ = false;
};
