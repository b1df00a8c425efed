// The capture of what one process tree plays (or of what everything else
// plays) on a PipeWire server.
//
// One capture stream, connected to nothing on its own, receives the sound:
// the graph watcher decides every playback stream, and every output port of
// a stream to be heard is linked to the capture's input port of the same
// channel.
// The server mixes what arrives on a port. Streams are never moved, and the
// links belong to this client, so the server removes them when it goes.
//
// Everything runs on one thread, in the main loop: registry events, the
// stream's buffers and standard input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/pcm_sink.h"
#include "linux/pipewire/graph_watcher.h"
#include "linux/pipewire/pipewire_api.h"
#include "linux/pipewire/pipewire_connection.h"
#include "linux/pipewire/playback_graph.h"
#include "linux/process/tree_tracker.h"
#include "linux/tool/capture_links.h"
#include "linux/tool/capture_stream.h"
#include "linux/tool/input_watch.h"
#include "linux/tool/link_table.h"
#include "linux/tool/paced_job.h"
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
    // A failure once the stream's node is in the graph is no failure to
    // start: Start returns nothing and Run returns false at once.
    std::optional<SetupFailure> Start();

    // Captures until the input (normally standard input) ends, then returns
    // true; returns false at once when the server fails or goes away.
    bool Run(InputReader& input);

private:
    // What the graph watcher decides, seen from the capture.
    class Decisions : public GraphObserver {
    public:
        explicit Decisions(ProcessTreeCapture& capture) : capture_(capture) {}
        void OnStreamDecided(const StreamDecision& decision) override;
        void OnStreamPort(const StreamPort& port) override;
        void OnInputPort(uint32_t port, uint32_t node, const std::string& channel) override;
        void OnRemoved(uint32_t id) override;

    private:
        ProcessTreeCapture& capture_;
    };

    // Whether a decided stream is to be heard: its process is in the tree
    // (include) or not (exclude), and it does not re-play others.
    bool Captures(const StreamDecision& decision);
    void OnCaptureReady(uint32_t node);
    void CreateLinks(const std::vector<LinkEnds>& wanted);
    void DropLinks(const std::vector<LinkEnds>& gone);
    void Fail(int error, std::string reason);
    void StopAtEndOfInput();

    uint32_t target_;
    TreeMode mode_;
    ProcessTreeTracker tree_;

    PipeWireConnection connection_{PipeWireConnection::DataThread::kRealTime};
    Decisions decisions_{*this};
    PlaybackGraph graph_;
    GraphWatcher watcher_;
    CaptureStream stream_;
    // Looks at the process table now and then, so that a process seen in
    // the tree is known before a parent of it exits: at least every
    // kTreeRefreshNs, from a buffer's wake once 10 ms or less are left.
    PacedJob treeRefresh_{[this] { tree_.Refresh(); }, kTreeRefreshNs, kTreeRefreshEarlyNs};
    InputReader* input_ = nullptr;

    LinkTable table_;
    CaptureLinks links_;

    // How often the process table is looked at for new members of the tree;
    // a look costs one read when no process has started since the last.
    static constexpr uint64_t kTreeRefreshNs = 50'000'000;
    static constexpr uint64_t kTreeRefreshEarlyNs = 10'000'000;

    bool started_ = false;  // the stream's node is in the graph
    std::optional<SetupFailure> setupFailure_;
    bool inputEnded_ = false;
    bool failed_ = false;
};
