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
                                       ProcessTable processes, std::string procRoot)
    : target_(target),
      mode_(mode),
      tree_(target, std::move(processes)),
      graph_(decisions_, HostPidClaims(procRoot)),
      watcher_(graph_, procRoot),
      stream_(output),
      links_([this](const LinkEnds& ends) { table_.ForgetLink(ends); }) {}

ProcessTreeCapture::~ProcessTreeCapture() {
    // Listeners first, so that nothing calls back into a half-destroyed
    // capture; then links and the watcher's proxies, the stream, the
    // connection, the loop. (The connection's own handlers run only from the
    // loop, which has stopped.)
    treeRefresh_.Stop();
    stream_.Close();
    watcher_.Stop();
    links_.Clear();
    connection_.Close();
}

std::optional<SetupFailure> ProcessTreeCapture::Start() {
    if (std::optional<SetupFailure> failure = connection_.Connect(
            [this](int error, std::string reason) { Fail(error, std::move(reason)); })) {
        return failure;
    }
    if (std::optional<SetupFailure> failure = watcher_.Watch(connection_.Core())) return failure;

    if (!treeRefresh_.Start(connection_.Loop())) {
        return SetupFailure{errno, "cannot create the event loop"};
    }

    CaptureStream::Handlers handlers;
    // From the moment the capture is in the graph, its end is no failure to
    // start: whatever ends it later, it ends with no message.
    handlers.created = [this](uint32_t) { started_ = true; };
    handlers.ready = [this](uint32_t node) { OnCaptureReady(node); };
    handlers.failed = [this](int error, std::string reason) { Fail(error, std::move(reason)); };
    handlers.keepGoing = [this] {
        if (input_ != nullptr && input_->Ended()) StopAtEndOfInput();
        treeRefresh_.OnWake();
        return !inputEnded_;
    };
    if (std::optional<SetupFailure> failure =
            stream_.Connect(connection_.Core(), std::move(handlers))) {
        return failure;
    }

    if (std::optional<SetupFailure> failure =
            connection_.SetDeadline(timespec{static_cast<time_t>(kAnswerSeconds), 0})) {
        return failure;
    }
    pw_main_loop_run(connection_.MainLoop());
    connection_.CancelDeadline();
    if (setupFailure_) return setupFailure_;
    return std::nullopt;
}

bool ProcessTreeCapture::Run(InputReader& input) {
    input_ = &input;
    InputWatch watch(input, [this] { StopAtEndOfInput(); });
    if (!watch.Start(connection_.Loop())) return false;
    if (!failed_ && !input.Ended()) pw_main_loop_run(connection_.MainLoop());
    watch.Stop();
    return input.Ended() && !failed_;
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
    capture_.DropLinks(capture_.table_.DropUnwanted(port.port));
}

void ProcessTreeCapture::Decisions::OnInputPort(uint32_t port, uint32_t node,
                                                const std::string& channel) {
    capture_.CreateLinks(
        capture_.table_.AddPort(port, node, LinkTable::Direction::kInput, channel));
}

void ProcessTreeCapture::Decisions::OnRemoved(uint32_t id) {
    capture_.DropLinks(capture_.table_.Remove(id));
}

bool ProcessTreeCapture::Captures(const StreamDecision& decision) {
    if (decision.replaysOthers) return false;
    const bool inTree = decision.owner && tree_.Contains(*decision.owner);
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

void ProcessTreeCapture::OnCaptureReady(uint32_t node) {
    CreateLinks(table_.SetCaptureNode(node));
    pw_main_loop_quit(connection_.MainLoop());
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
