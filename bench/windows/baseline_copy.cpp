// Writes <chunks> chunks of 1,920 bytes to stdout, each with one fwrite and one
// fflush. With <chunks-per-event> above 0 it also sets an auto-reset event and
// waits on it once per that many chunks: under Wine each of the two calls is a
// round trip to the server, as a wake of the capture loop is.
//   baseline_copy.exe <chunks> [chunks-per-event]
#include <windows.h>

#include "bench/windows/bench_output.h"

int main(int argc, char** argv) {
    const unsigned long chunks = ArgumentOr(argc, argv, 1, 0);
    const unsigned long perEvent = ArgumentOr(argc, argv, 2, 0);
    UseBinaryStdout();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return 1;

    static unsigned char chunk[kChunkBytes];
    for (size_t i = 0; i < kChunkBytes; ++i)
        chunk[i] = static_cast<unsigned char>(i);

    for (unsigned long i = 0; i < chunks; ++i) {
        if (perEvent != 0 && i % perEvent == 0) {
            SetEvent(event);
            WaitForSingleObject(event, INFINITE);
        }
        WriteChunk(chunk);
    }
    CloseHandle(event);
    return 0;
}
