#include "linux/tool/fd_pcm_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// How long a wait for room rests between looks at an input that cannot be
// polled: such an input is always "ready", so it is read between waits.
constexpr int kUnpollableInputLookMs = 50;

int OpenPipeNonBlocking(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return -1;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

FdPcmSink::FdPcmSink(int fd, InputReader* input)
    : fd_(fd), ownOpening_(OpenPipeNonBlocking(fd)), input_(input) {}

FdPcmSink::~FdPcmSink() {
    if (ownOpening_ >= 0) close(ownOpening_);
}

void FdPcmSink::Write(const void* bytes, size_t size) {
    const int fd = ownOpening_ >= 0 ? ownOpening_ : fd_;
    const char* next = static_cast<const char*>(bytes);
    while (size != 0) {
        const ssize_t written = write(fd, next, size);
        if (written > 0) {
            next += written;
            size -= static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitForRoom()) return;
        } else {
            return;
        }
    }
}

bool FdPcmSink::WaitForRoom() {
    const int fd = ownOpening_ >= 0 ? ownOpening_ : fd_;
    for (;;) {
        if (input_ != nullptr && input_->Ended()) return false;
        pollfd watched[2] = {{fd, POLLOUT, 0}, {-1, POLLIN, 0}};
        const bool watchInput = input_ != nullptr && input_->Pollable();
        if (watchInput) watched[1].fd = input_->Fd();
        const int timeout = input_ != nullptr && !watchInput ? kUnpollableInputLookMs : -1;
        const int ready = poll(watched, 2, timeout);
        if (ready < 0 && errno != EINTR) return false;
        if (input_ != nullptr && (!watchInput || watched[1].revents != 0)) {
            if (input_->ReadOnce() == InputReader::Read::kEnded) return false;
        }
        if ((watched[0].revents & (POLLERR | POLLNVAL)) != 0) return false;
        if ((watched[0].revents & POLLOUT) != 0) return true;
    }
}
