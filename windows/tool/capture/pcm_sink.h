// Standard output as the Windows tool's PcmSink.
#pragma once

#include <cstddef>

#include "common/pcm_sink.h"

// Standard output through the C runtime's buffered stream. Results of writes
// and flushes are not examined: a reader that went away loses the bytes and
// capture carries on.
class StdoutPcmSink final : public PcmSink {
public:
    void Write(const void* bytes, size_t size) override;
    void Flush() override;
};
