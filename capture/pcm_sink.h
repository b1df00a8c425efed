// Where captured PCM goes. The tool writes to standard output; tests count.
#pragma once

#include <cstddef>

class PcmSink {
public:
    virtual void Write(const void* bytes, size_t size) = 0;
    virtual void Flush() = 0;

protected:
    ~PcmSink() = default;
};

// Standard output through the C runtime's buffered stream. Results of writes
// and flushes are not examined: a reader that went away loses the bytes and
// capture carries on.
class StdoutPcmSink final : public PcmSink {
public:
    void Write(const void* bytes, size_t size) override;
    void Flush() override;
};
