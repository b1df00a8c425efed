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
#include "linux/process/process_tree.h"
#include "linux/tool/capture_links.h"
#include "linux/tool/link_table.h"
#include "linux/tool/tree_mode.h"

class ProcessTreeCapture {
public:
    // The tree is target and its descendants; parents come from parentOf and
    // executables from procRoot (normally "/proc").
    ProcessTreeCapture(uint32_t target, TreeMode mode, PcmSink& output, ParentLookup parentOf,
                       std::string procRoot);
    ~ProcessTreeCapture();
    ProcessTreeCapture(const ProcessTreeCapture&) = delete;
    ProcessTreeCapture& operator=(const ProcessTreeCapture&) = delete;

    // Connects to the server and waits until the capture stream is ready.
    std::optional<SetupFailure> Start();

    // Captures until input (a descriptor, normally standard input) ends, then
    // returns true; returns false at once when the server fails or goes away.
    bool Run(int input);

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
    bool Captures(const StreamDecision& decision) const;
    void OnStreamState(pw_stream_state state, const char* error);
    void OnProcess();
    void OnInputReadable();
    void CreateLinks(const std::vector<LinkEnds>& wanted);
    void DropLinks(const std::vector<LinkEnds>& gone);
    void Fail(int error, std::string reason);
    void StopAtEndOfInput();

    uint32_t target_;
    TreeMode mode_;
    PcmSink& output_;
    ParentLookup parentOf_;

    PipeWireConnection connection_;
    Decisions decisions_{*this};
    PlaybackGraph graph_;
    GraphWatcher watcher_;
    StreamPtr stream_;
    spa_hook streamListener_{};
    LoopSource inputWatch_;
    int input_ = -1;

    LinkTable table_;
    CaptureLinks links_;

    static const pw_stream_events kStreamEvents;

    bool started_ = false;  // the stream became ready
    std::optional<SetupFailure> setupFailure_;
    bool inputEnded_ = false;
    bool failed_ = false;
};
