// What the baselines share with the tool's output path: binary stdout, one
// fwrite and one fflush per 1,920-byte chunk (480 frames, 4 bytes each).
#pragma once

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

constexpr size_t kChunkBytes = 480 * 4;

inline void UseBinaryStdout() {
    _setmode(_fileno(stdout), _O_BINARY);
}

inline void WriteChunk(const unsigned char* chunk) {
    std::fwrite(chunk, 1, kChunkBytes, stdout);
    std::fflush(stdout);
}

inline unsigned long ArgumentOr(int argc, char** argv, int index, unsigned long fallback) {
    return argc > index ? std::strtoul(argv[index], nullptr, 10) : fallback;
}
