#include "linux/tool/input_watch.h"

#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

// Whether epoll accepts the descriptor: it refuses files and some devices
// with EPERM, and the loop then reports them ready on every turn.
bool CanBePolled(int fd) {
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return true;
    epoll_event event{};
    event.events = EPOLLIN;
    const bool accepted = epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0 || errno != EPERM;
    close(epoll);
    return accepted;
}

}  // namespace

InputReader::InputReader(int fd) : fd_(fd), pollable_(CanBePolled(fd)) {
    struct stat status {};
    if (!pollable_ && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        lseek(fd, 0, SEEK_END);
    }
}

InputReader::Read InputReader::ReadOnce() {
    if (ended_) return Read::kEnded;
    char discarded[4096];
    const ssize_t count = read(fd_, discarded, sizeof discarded);
    if (count > 0) return Read::kData;
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return Read::kNothing;
    // End of file, a closed pipe or a read error: the caller wants us to stop.
    ended_ = true;
    return Read::kEnded;
}

InputWatch::InputWatch(InputReader& reader, std::function<void()> onEnd)
    : reader_(reader), onEnd_(std::move(onEnd)) {}

bool InputWatch::Start(pw_loop* loop) {
    loop_ = loop;
    source_ = LoopSource(
        loop,
        AddIoSource(
            loop, reader_.Fd(), SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR,
            [](void* data, int, uint32_t) { static_cast<InputWatch*>(data)->OnReady(); }, this));
    if (!source_) return false;
    if (!reader_.Pollable()) {
        resume_ = LoopSource(
            loop, AddTimerSource(
                      loop, [](void* data, uint64_t) { static_cast<InputWatch*>(data)->Resume(); },
                      this));
        if (!resume_) return false;
    }
    return true;
}

void InputWatch::Stop() {
    source_.Reset();
    resume_.Reset();
}

void InputWatch::OnReady() {
    const InputReader::Read read = reader_.ReadOnce();
    if (read == InputReader::Read::kEnded) {
        Stop();
        onEnd_();
    } else if (read == InputReader::Read::kData && !reader_.Pollable()) {
        UpdateIoSource(loop_, source_.Get(), 0);
        ArmTimerSource(loop_, resume_.Get(), timespec{0, kUnpollableInputRestNs});
    }
}

void InputWatch::Resume() {
    if (source_) UpdateIoSource(loop_, source_.Get(), SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR);
}
