// A job paced by the wakes the program has anyway, with a timer behind them:
// it runs from a wake only once it is nearly due, and from the timer when no
// wake comes.
#include <gtest/gtest.h>

#include <cstdint>

#include "linux/pipewire/pipewire_api.h"
#include "linux/tool/paced_job.h"

namespace {

constexpr uint64_t kMs = 1'000'000;

TEST(PacedJob, AWakeRunsTheJobOnlyWhenItIsNearlyDue) {
    PipeWireLibrary library;
    const MainLoopPtr loop(pw_main_loop_new(nullptr));
    ASSERT_NE(loop, nullptr);
    const uint64_t start = 1000 * kMs;
    uint64_t now = start;
    int runs = 0;
    PacedJob job([&runs] { ++runs; }, 50 * kMs, 10 * kMs, [&now] { return now; });
    job.OnWake();  // not started: no timer, nothing runs
    EXPECT_EQ(runs, 0);
    ASSERT_TRUE(job.Start(pw_main_loop_get_loop(loop.get())));
    // (ms since the start at each wake, runs expected by then): due 50 ms
    // after the last run, run from 40 ms on.
    const struct {
        uint64_t atMs;
        int runs;
    } wakes[] = {{30, 0}, {39, 0}, {40, 1}, {50, 1}, {79, 1}, {80, 2}, {200, 3}};
    for (const auto& wake : wakes) {
        now = start + wake.atMs * kMs;
        job.OnWake();
        EXPECT_EQ(runs, wake.runs) << "at " << wake.atMs << " ms";
    }
    job.Stop();
    now += 100 * kMs;
    job.OnWake();
    EXPECT_EQ(runs, 3);
}

TEST(PacedJob, TheTimerRunsTheJobWhenNoWakeComes) {
    PipeWireLibrary library;
    const MainLoopPtr loop(pw_main_loop_new(nullptr));
    ASSERT_NE(loop, nullptr);
    pw_loop* events = pw_main_loop_get_loop(loop.get());
    int runs = 0;
    PacedJob job(
        [&] {
            if (++runs == 3) pw_main_loop_quit(loop.get());
        },
        10 * kMs, 2 * kMs);
    ASSERT_TRUE(job.Start(events));
    // A bound on the wait, so that a job that never runs fails the test.
    LoopSource deadline(events, AddTimerSource(
                                    events,
                                    [](void* data, uint64_t) {
                                        pw_main_loop_quit(static_cast<pw_main_loop*>(data));
                                    },
                                    loop.get()));
    ASSERT_TRUE(deadline);
    ASSERT_GE(ArmTimerSource(events, deadline.Get(), timespec{10, 0}), 0);
    pw_main_loop_run(loop.get());
    EXPECT_EQ(runs, 3);
    job.Stop();
}

}  // namespace
