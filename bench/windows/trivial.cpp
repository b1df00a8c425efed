// The floor for start-up, stop and memory figures.
//   trivial.exe          returns 0 at once.
//   trivial.exe wait     writes one byte to stdout, reads stdin through its
//                        handle until it ends, then returns 0.
#include <windows.h>

#include <cstring>

#include "bench/windows/bench_output.h"

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "wait") != 0) return 0;
    UseBinaryStdout();
    std::fputc(0, stdout);
    std::fflush(stdout);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD bytesRead = 0;
    while (ReadFile(input, buffer, sizeof buffer, &bytesRead, nullptr) && bytesRead != 0) {
    }
    return 0;
}
