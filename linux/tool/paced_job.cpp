#include "linux/tool/paced_job.h"

#include <time.h>

#include <utility>

PacedJob::PacedJob(std::function<void()> job, uint64_t intervalNs, uint64_t earlyNs,
                   std::function<uint64_t()> now)
    : job_(std::move(job)), intervalNs_(intervalNs), earlyNs_(earlyNs), now_(std::move(now)) {}

uint64_t PacedJob::MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

bool PacedJob::Start(pw_loop* loop) {
    loop_ = loop;
    timer_ = LoopSource(
        loop, AddTimerSource(
                  loop, [](void* data, uint64_t) { static_cast<PacedJob*>(data)->Run(); }, this));
    if (!timer_) return false;
    lastRunNs_ = now_();
    const timespec after{static_cast<time_t>(intervalNs_ / 1'000'000'000u),
                         static_cast<long>(intervalNs_ % 1'000'000'000u)};
    return ArmTimerSource(loop, timer_.Get(), after) >= 0;
}

void PacedJob::Stop() {
    timer_.Reset();
}

void PacedJob::OnWake() {
    if (timer_ && now_() - lastRunNs_ + earlyNs_ >= intervalNs_) Run();
}

void PacedJob::Run() {
    job_();
    lastRunNs_ = now_();
    const timespec after{static_cast<time_t>(intervalNs_ / 1'000'000'000u),
                         static_cast<long>(intervalNs_ % 1'000'000'000u)};
    ArmTimerSource(loop_, timer_.Get(), after);
}
