#include "windows/tool/capture/pcm_sink.h"

#include <cstdio>

void StdoutPcmSink::Write(const void* bytes, size_t size) {
    std::fwrite(bytes, 1, size, stdout);
}

void StdoutPcmSink::Flush() {
    std::fflush(stdout);
}
