#include "linux/lister/playback_streams.h"

#include <utility>

#include "linux/pipewire/graph_watcher.h"
#include "linux/pipewire/playback_graph.h"

namespace {

// The lister reads the decisions once, at the end; it need not follow them.
class QuietObserver : public GraphObserver {
public:
    void OnStreamDecided(const StreamDecision&) override {}
    void OnStreamPort(const StreamPort&) override {}
    void OnInputPort(uint32_t, uint32_t, const std::string&) override {}
    void OnRemoved(uint32_t) override {}
};

// Reads the graph in two round trips. The registry announces every object
// before the server answers the first sync; the graph watcher binds nodes and
// clients as they are announced, and the server sends what they say before
// it answers the second sync.
class GraphReader {
public:
    GraphReader(const std::string& procRoot, const timespec& answerWithin)
        : graph_(observer_, HostPidClaims(procRoot)),
          watcher_(graph_, procRoot),
          answerWithin_(answerWithin) {}
    ~GraphReader() {
        watcher_.Stop();
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
        if (std::optional<SetupFailure> failure = watcher_.Watch(connection_.Core())) {
            return failure;
        }
        awaitedSync_ = connection_.Sync();
        if (awaitedSync_ < 0)
            return SetupFailure{-awaitedSync_, "cannot reach the PipeWire server"};

        pw_main_loop_run(connection_.MainLoop());
        if (failure_) return failure_;
        streams.clear();
        for (const PlaybackGraph::Listed& listed : graph_.DecidedStreams()) {
            // Sound that a virtual sink or filter re-plays is listed at the
            // stream that played it first.
            if (listed.decision.replaysOthers) continue;
            PlaybackStream stream;
            stream.node = listed.decision.node;
            stream.owner = listed.decision.owner;
            stream.playing = listed.running;
            stream.application = listed.application;
            streams.push_back(std::move(stream));
        }
        return std::nullopt;
    }

private:
    void OnSync(int seq) {
        if (seq != awaitedSync_ || failure_) return;
        if (!registryRead_) {
            // Every object is announced and bound: one more round trip
            // brings what the bound objects say.
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

    PipeWireConnection connection_;
    QuietObserver observer_;
    PlaybackGraph graph_;
    GraphWatcher watcher_;
    timespec answerWithin_;
    int awaitedSync_ = 0;
    bool registryRead_ = false;
    std::optional<SetupFailure> failure_;
};

}  // namespace

std::optional<SetupFailure> ReadPlaybackStreams(const std::string& procRoot,
                                                const timespec& answerWithin,
                                                std::vector<PlaybackStream>& streams) {
    GraphReader reader(procRoot, answerWithin);
    return reader.Read(streams);
}
