// A job that must run at least once every interval while the loop runs
// (looking at the process table for new members of the tree), done at as few
// wakes of the process as it can: every wake is paid for, and on a machine
// where processes start all the time each look does work. A wake the program
// has anyway (a captured buffer) runs the job once it is nearly due; a timer,
// pushed back whenever the job runs, wakes the loop only when no such wake
// came in time (nothing is playing, or the graph's period is long).
#pragma once

#include <cstdint>
#include <functional>

#include "linux/pipewire/pipewire_api.h"

class PacedJob {
public:
    // The job runs at most interval apart, and from a wake from `early` on
    // before it is due; `now` gives the time in ns (CLOCK_MONOTONIC).
    PacedJob(std::function<void()> job, uint64_t intervalNs, uint64_t earlyNs,
             std::function<uint64_t()> now = MonotonicNs);

    // Creates the timer on loop; false (errno set) when it cannot.
    bool Start(pw_loop* loop);
    void Stop();

    // A wake the program had anyway: runs the job when it is nearly due.
    void OnWake();

    static uint64_t MonotonicNs();

private:
    void Run();

    std::function<void()> job_;
    uint64_t intervalNs_;
    uint64_t earlyNs_;
    std::function<uint64_t()> now_;
    pw_loop* loop_ = nullptr;
    LoopSource timer_;
    uint64_t lastRunNs_ = 0;
};
