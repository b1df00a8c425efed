// Where captured PCM goes. Each call of Write carries one whole packet, in
// the order captured; a sink passes it on at once, without holding any of it
// back. The tools write to standard output; tests record.
#pragma once

#include <cstddef>

class PcmSink {
public:
    virtual void Write(const void* bytes, size_t size) = 0;
    virtual void Flush() = 0;

protected:
    ~PcmSink() = default;
};
