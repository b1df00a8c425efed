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

ProcessTreeCapture::ProcessTreeCapture(uint32_t target, TreeMode mode, PcmSink& output,
                                       ParentLookup parentOf, std::string procRoot)
    : target_(target),
      mode_(mode),
      output_(output),
      parentOf_(std::move(parentOf)),
      graph_(decisions_, HostPidClaims(procRoot)),
      watcher_(graph_, procRoot),
      links_([this](const LinkEnds& ends) { table_.ForgetLink(ends); }) {}

ProcessTreeCapture::~ProcessTreeCapture() {
    // Listeners first, so that nothing calls back into a half-destroyed
    // capture; then links and the watcher's proxies, the stream, the
    // connection, the loop. (The connection's own handlers run only from the
    // loop, which has stopped.)
    inputWatch_.Reset();
    if (stream_) spa_hook_remove(&streamListener_);
    watcher_.Stop();
    links_.Clear();
    stream_.reset();
    connection_.Close();
}

// Event tables: the library calls these with the object they were added with.
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

std::optional<SetupFailure> ProcessTreeCapture::Start() {
    if (std::optional<SetupFailure> failure = connection_.Connect(
            [this](int error, std::string reason) { Fail(error, std::move(reason)); })) {
        return failure;
    }
    if (std::optional<SetupFailure> failure = watcher_.Watch(connection_.Core())) return failure;

    PropertiesPtr properties(pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_NODE_NAME, "harkwell",
                                               PW_KEY_NODE_AUTOCONNECT, "false", nullptr));
    if (!properties) return SetupFailure{errno, "cannot create the capture stream"};
    // The stream takes the properties, even when it fails.
    stream_.reset(pw_stream_new(connection_.Core(), "harkwell", properties.release()));
    if (!stream_) return SetupFailure{errno, "cannot create the capture stream"};
    pw_stream_add_listener(stream_.get(), &streamListener_, &kStreamEvents, this);

    uint8_t formatBuffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, formatBuffer, sizeof formatBuffer);
    const spa_pod* params[] = {BuildPcmFormat(&builder), BuildCaptureBuffers(&builder)};
    // Not autoconnected: the session manager leaves it alone, and it is
    // linked only to the streams it captures. Buffers are processed on this
    // loop's thread.
    const int connected =
        pw_stream_connect(stream_.get(), PW_DIRECTION_INPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS), params,
                          static_cast<uint32_t>(std::size(params)));
    if (connected < 0) return SetupFailure{-connected, "cannot connect the capture stream"};

    if (std::optional<SetupFailure> failure =
            connection_.SetDeadline(timespec{static_cast<time_t>(kAnswerSeconds), 0})) {
        return failure;
    }
    pw_main_loop_run(connection_.MainLoop());
    connection_.CancelDeadline();
    if (setupFailure_) return setupFailure_;
    return std::nullopt;
}

bool ProcessTreeCapture::Run(int input) {
    input_ = input;
    pw_loop* loop = connection_.Loop();
    inputWatch_ =
        LoopSource(loop, AddIoSource(
                             loop, input, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR,
                             [](void* data, int, uint32_t) {
                                 static_cast<ProcessTreeCapture*>(data)->OnInputReadable();
                             },
                             this));
    if (!inputWatch_) {
        // Files and devices such as /dev/null cannot be watched for input:
        // they never block, so they are read a piece per loop turn instead.
        inputWatch_ = LoopSource(loop, AddEventSource(
                                           loop,
                                           [](void* data, uint64_t) {
                                               auto* self = static_cast<ProcessTreeCapture*>(data);
                                               self->OnInputReadable();
                                               if (!self->inputEnded_ && self->inputWatch_) {
                                                   SignalEventSource(self->connection_.Loop(),
                                                                     self->inputWatch_.Get());
                                               }
                                           },
                                           this));
        if (!inputWatch_) return false;
        SignalEventSource(loop, inputWatch_.Get());
    }
    if (!failed_) pw_main_loop_run(connection_.MainLoop());
    inputWatch_.Reset();
    return inputEnded_ && !failed_;
}

void ProcessTreeCapture::Decisions::OnStreamDecided(const StreamDecision& decision) {
    ProcessTreeCapture& capture = capture_;
    if (capture.Captures(decision)) {
        capture.CreateLinks(capture.table_.CaptureNode(decision.node));
    } else {
        capture.DropLinks(capture.table_.ReleaseNode(decision.node));
    }
}

void ProcessTreeCapture::Decisions::OnStreamPort(const StreamPort& port) {
    capture_.CreateLinks(capture_.table_.AddPort(port.port, port.node,
                                                 LinkTable::Direction::kOutput, port.channels));
}

void ProcessTreeCapture::Decisions::OnInputPort(uint32_t port, uint32_t node,
                                                const std::string& channel) {
    capture_.CreateLinks(
        capture_.table_.AddPort(port, node, LinkTable::Direction::kInput, channel));
}

void ProcessTreeCapture::Decisions::OnRemoved(uint32_t id) {
    capture_.DropLinks(capture_.table_.Remove(id));
}

bool ProcessTreeCapture::Captures(const StreamDecision& decision) const {
    if (decision.replaysOthers) return false;
    const bool inTree = decision.owner && IsInProcessTree(*decision.owner, target_, parentOf_);
    return inTree == (mode_ == TreeMode::kInclude);
}

void ProcessTreeCapture::CreateLinks(const std::vector<LinkEnds>& wanted) {
    if (wanted.empty()) return;
    for (const LinkEnds& failed : links_.Create(connection_.Core(), wanted))
        table_.ForgetLink(failed);
}

void ProcessTreeCapture::DropLinks(const std::vector<LinkEnds>& gone) {
    links_.Drop(gone);
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
    pw_main_loop_quit(connection_.MainLoop());
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
    pw_main_loop_quit(connection_.MainLoop());
}

void ProcessTreeCapture::StopAtEndOfInput() {
    inputEnded_ = true;
    pw_main_loop_quit(connection_.MainLoop());
}
