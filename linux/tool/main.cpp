// Entry point of the Linux tool: command line, start-up and shutdown order,
// messages and exit status.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "common/exit_status.h"
#include "common/messages.h"
#include "common/result_code.h"
#include "linux/tool/command_line.h"
#include "linux/tool/fd_pcm_sink.h"
#include "linux/process/standard_descriptors.h"
#include "linux/tool/tree_capture.h"

namespace {

// Present in sanitized builds only: checks for leaks now, as exit would.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

// Ends the process once the capture is over, without tearing the library
// down. For the server the capture ends with the connection: when the socket
// closes it removes the capture node and every link made for it (none
// lingers), exactly as when the process is killed. What is left is this
// process's own memory and the library's loaded plugins; unloading those
// took 3 to 4 ms, which every caller waiting for the exit would pay.
[[noreturn]] void EndProcess(int status) {
    if (__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs(HARKWELL_USAGE_LINE("harkwell"), stderr);
        return kExitUsage;
    }
    const uint32_t processId = ParseProcessId(argv[1]);
    const TreeMode mode = ParseTreeMode(argv[2]);

    // A reader of our output that goes away must not end the capture: writes
    // then fail with EPIPE and capture goes on until the input ends.
    std::signal(SIGPIPE, SIG_IGN);
    HoldClosedStandardDescriptors();

    PipeWireLibrary library;
    InputReader input(STDIN_FILENO);
    FdPcmSink output(STDOUT_FILENO, &input);
    ProcessTreeCapture capture(processId, mode, output, ProcProcessTable("/proc"), "/proc");
    if (const std::optional<SetupFailure> failure = capture.Start()) {
        std::fprintf(
            stderr, HARKWELL_ACTIVATE_FAILED_FORMAT ": %s\n",
            static_cast<unsigned>(FailureFromErrorNumber(static_cast<uint32_t>(failure->error))),
            failure->reason.c_str());
        return kExitFailed;
    }
    EndProcess(capture.Run(input) ? kExitStopped : kExitFailed);
}
