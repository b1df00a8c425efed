// Wakes handed from one thread to another, as the platform hands packets over:
// a producer thread sets `ready` and waits on `done`; the main thread waits on
// `ready`, writes and flushes <chunks-per-wake> chunks of 1,920 bytes (one
// fwrite and one fflush each), and sets `done`.
//   baseline_wake.exe <chunks> [chunks-per-wake]
#include <windows.h>

#include "bench/windows/bench_output.h"

namespace {

struct Handoff {
    HANDLE ready;
    HANDLE done;
    unsigned long wakes;
};

DWORD WINAPI Produce(void* parameter) {
    const Handoff* handoff = static_cast<const Handoff*>(parameter);
    for (unsigned long i = 0; i < handoff->wakes; ++i) {
        SetEvent(handoff->ready);
        WaitForSingleObject(handoff->done, INFINITE);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long chunks = ArgumentOr(argc, argv, 1, 0);
    const unsigned long perWake = ArgumentOr(argc, argv, 2, 1);
    if (perWake == 0 || chunks % perWake != 0) return 2;
    Handoff handoff{CreateEventW(nullptr, FALSE, FALSE, nullptr),
                    CreateEventW(nullptr, FALSE, FALSE, nullptr), chunks / perWake};
    if (handoff.ready == nullptr || handoff.done == nullptr) return 1;
    UseBinaryStdout();

    static unsigned char chunk[kChunkBytes];
    for (size_t i = 0; i < kChunkBytes; ++i)
        chunk[i] = static_cast<unsigned char>(i);

    HANDLE producer = CreateThread(nullptr, 0, &Produce, &handoff, 0, nullptr);
    if (producer == nullptr) return 1;
    for (unsigned long i = 0; i < handoff.wakes; ++i) {
        WaitForSingleObject(handoff.ready, INFINITE);
        for (unsigned long j = 0; j < perWake; ++j)
            WriteChunk(chunk);
        SetEvent(handoff.done);
    }
    WaitForSingleObject(producer, INFINITE);
    CloseHandle(producer);
    CloseHandle(handoff.ready);
    CloseHandle(handoff.done);
    return 0;
}
