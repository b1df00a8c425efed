// A file descriptor as the Linux tool's PcmSink: each packet goes out in one
// write(2) where the descriptor takes it, with no buffering in between.
#pragma once

#include "common/pcm_sink.h"
#include "linux/tool/input_watch.h"

class FdPcmSink final : public PcmSink {
public:
    // Writes to fd, which stays the caller's. When input is given, a write
    // that waits for room also watches it: if the input ends meanwhile, the
    // rest of the packet is dropped and Write returns, so that a caller that
    // stopped reading can still stop the tool by closing its input.
    explicit FdPcmSink(int fd, InputReader* input = nullptr);
    ~FdPcmSink();
    FdPcmSink(const FdPcmSink&) = delete;
    FdPcmSink& operator=(const FdPcmSink&) = delete;

    // Writes the whole packet, waiting for room as needed. A failed write
    // drops the rest of the packet and capture carries on: a reader that
    // went away (EPIPE, with SIGPIPE ignored) loses the bytes, as on Windows.
    void Write(const void* bytes, size_t size) override;
    // Nothing is held back, so there is nothing to flush.
    void Flush() override {}

private:
    // Waits until the output may take more or the input has ended; false
    // when the packet is to be dropped.
    bool WaitForRoom();

    int fd_;
    // A pipe is written through a second, non-blocking opening of its own,
    // so that no write blocks and the caller's descriptor keeps its flags
    // (they are shared with whoever else holds the pipe). -1 when fd_ is
    // written as it is: a file, a terminal, or a pipe that cannot be opened
    // again (no reader left).
    int ownOpening_ = -1;
    InputReader* input_;
};
