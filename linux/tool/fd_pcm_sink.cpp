#include "linux/tool/fd_pcm_sink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

void FdPcmSink::Write(const void* bytes, size_t size) {
    const char* next = static_cast<const char*>(bytes);
    while (size != 0) {
        const ssize_t written = write(fd_, next, size);
        if (written > 0) {
            next += written;
            size -= static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The caller gave us a non-blocking descriptor: wait for room as
            // a blocking write would.
            pollfd room{fd_, POLLOUT, 0};
            if (poll(&room, 1, -1) < 0 && errno != EINTR) return;
        } else {
            return;
        }
    }
}
