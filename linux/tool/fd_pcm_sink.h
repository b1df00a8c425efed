// A file descriptor as the Linux tool's PcmSink: each packet goes out in one
// write(2), with no buffering in between.
#pragma once

#include "common/pcm_sink.h"

class FdPcmSink final : public PcmSink {
public:
    explicit FdPcmSink(int fd) : fd_(fd) {}

    // Writes the whole packet, looping only over partial writes (and waiting
    // for room when the descriptor is non-blocking). A failed write drops the
    // rest of the packet and capture carries on: a reader that went away
    // (EPIPE, with SIGPIPE ignored) loses the bytes, as on Windows.
    void Write(const void* bytes, size_t size) override;
    // Nothing is held back, so there is nothing to flush.
    void Flush() override {}

private:
    int fd_;
};
