#include "windows/simaudio/delivery.h"

#include <audioclient.h>

#include <cmath>
#include <string>
#include <utility>

#include "windows/simaudio/record.h"

namespace {

constexpr UINT64 kFramesPerSecond = 48000;
constexpr double kToneAmplitude = 0.25 * 32767;
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

Delivery::Delivery(const Scenario& scenario, PacketQueue& queue, std::vector<UINT32> tones)
    : scenario_(scenario),
      queue_(queue),
      fast_(scenario.pacing == Pacing::Fast),
      tones_(std::move(tones)),
      cursor_(scenario.program),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    QueryPerformanceFrequency(&frequency_);
    const SIZE_T silentBytes = SIZE_T{scenario.LargestSilentPacket()} * kBytesPerFrame;
    if (silentBytes != 0) {
        silentPages_ =
            static_cast<BYTE*>(VirtualAlloc(nullptr, silentBytes, MEM_RESERVE, PAGE_NOACCESS));
    }
}

Delivery::~Delivery() {
    Stop();
    if (silentPages_ != nullptr) VirtualFree(silentPages_, 0, MEM_RELEASE);
}

HRESULT Delivery::Start(HANDLE sampleReady) {
    if (!stop_) return E_OUTOFMEMORY;
    sampleReady_ = sampleReady;
    firstAfterStart_ = true;
    ResetEvent(stop_.Get());
    queue_.SetAborted(false);
    base_ = Now() - ScheduleOffset();

    for (const Step* step = cursor_.Peek(); step != nullptr; step = cursor_.Peek()) {
        if (step->kind == Step::Kind::Batch) {
            batch_ = step->value;
        } else if (step->kind != Step::Kind::Packet || !step->prefill) {
            break;
        } else {
            pending_.push_back(MakePacket(*step));
        }
        cursor_.Advance();
    }
    QueuePending();

    thread_.Reset(CreateThread(nullptr, 0, &Delivery::ThreadMain, this, 0, nullptr));
    if (!thread_) {
        sampleReady_ = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void Delivery::Stop() {
    if (!thread_) return;
    SetEvent(stop_.Get());
    queue_.SetAborted(true);
    WaitForSingleObject(thread_.Get(), INFINITE);
    thread_.Reset();
    sampleReady_ = nullptr;
}

DWORD WINAPI Delivery::ThreadMain(void* self) {
    static_cast<Delivery*>(self)->Run();
    return 0;
}

void Delivery::Run() {
    // Prefilled packets count as the first wake.
    if (fast_ && !queue_.WaitDrained()) return;
    for (;;) {
        const Step* next = cursor_.Peek();
        if (next == nullptr) break;
        const Step step = *next;
        cursor_.Advance();
        switch (step.kind) {
        case Step::Kind::Packet:
            if (step.packet == PacketKind::Tone && tones_.empty()) {
                // Nothing selected plays: the device stays silent.
                if (!Rest(static_cast<UINT32>(UINT64{step.frames} * 1000 / kFramesPerSecond))) {
                    return;
                }
                break;
            }
            pending_.push_back(MakePacket(step));
            if (pending_.size() >= batch_ && !Flush()) return;
            break;
        case Step::Kind::Batch:
            if (!Flush()) return;
            batch_ = step.value;
            break;
        case Step::Kind::Pause:
            if (!Rest(step.value)) return;
            break;
        case Step::Kind::Spurious:
            if (!Flush()) return;
            for (UINT32 i = 0; i < step.value; ++i) {
                if (!WaitUntilDue()) return;
                Wake(0);
                if (!Idle(1)) return;
            }
            break;
        }
    }
    if (!Flush()) return;
    // Tells a reader of a simulated system's capture that nothing more will
    // come, since silence there means no packets.
    if (scenario_.system && scenario_.recordPackets) Record("DeliveryEnd");
    WaitForSingleObject(stop_.Get(), INFINITE);
}

bool Delivery::Rest(UINT32 milliseconds) {
    if (!Flush()) return false;
    timeline_ += UINT64{milliseconds} * kFramesPerSecond / 1000;
    if (fast_) return Idle(milliseconds);
    pausedMilliseconds_ += milliseconds;
    return true;
}

Packet Delivery::MakePacket(const Step& step) {
    Packet packet;
    packet.kind = step.packet;
    packet.frames = step.frames;
    packet.flags = step.flags;
    packet.position = position_;
    if (step.packet != PacketKind::NoData) timeline_ += step.frames;
    switch (step.packet) {
    case PacketKind::Tone:
        FillTones(packet);
        position_ += step.frames;
        break;
    case PacketKind::Data:
        packet.samples = queue_.SpareBuffer();
        packet.samples.resize(size_t{step.frames} * kBytesPerFrame);
        for (UINT32 i = 0; i < step.frames; ++i) {
            const UINT32 frame = PatternFrame(position_ + i);
            BYTE* out = &packet.samples[size_t{i} * kBytesPerFrame];
            out[0] = static_cast<BYTE>(frame);
            out[1] = static_cast<BYTE>(frame >> 8);
            out[2] = static_cast<BYTE>(frame >> 16);
            out[3] = static_cast<BYTE>(frame >> 24);
        }
        packet.data = packet.samples.data();
        position_ += step.frames;
        break;
    case PacketKind::Silent:
        packet.data = silentPages_;
        position_ += step.frames;
        break;
    case PacketKind::NoData:
        break;
    }
    return packet;
}

void Delivery::FillTones(Packet& packet) {
    packet.samples = queue_.SpareBuffer();
    packet.samples.resize(size_t{packet.frames} * kBytesPerFrame);
    // timeline_ already counts this packet.
    const UINT64 first = timeline_ - packet.frames;
    for (UINT32 i = 0; i < packet.frames; ++i) {
        double value = 0;
        for (const UINT32 tone : tones_) {
            // Whole cycles dropped in integers keep the phase exact however
            // long the stream runs.
            const UINT64 phase = (first + i) % kFramesPerSecond * tone % kFramesPerSecond;
            value += kToneAmplitude * std::sin(kTwoPi * static_cast<double>(phase) /
                                               static_cast<double>(kFramesPerSecond));
        }
        const long rounded = std::lround(value < -32768 ? -32768 : value > 32767 ? 32767 : value);
        const auto sample = static_cast<UINT16>(static_cast<INT16>(rounded));
        BYTE* out = &packet.samples[size_t{i} * kBytesPerFrame];
        out[0] = out[2] = static_cast<BYTE>(sample);
        out[1] = out[3] = static_cast<BYTE>(sample >> 8);
    }
    packet.data = packet.samples.data();
}

bool Delivery::Flush() {
    if (pending_.empty()) return true;
    if (!WaitUntilDue()) return false;
    QueuePending();
    return !fast_ || queue_.WaitDrained();
}

void Delivery::QueuePending() {
    if (pending_.empty()) return;
    const size_t packets = pending_.size();
    const INT64 now = Now();
    const INT64 frequency = frequency_.QuadPart;
    const UINT64 qpc =
        static_cast<UINT64>(now / frequency * 10000000 + now % frequency * 10000000 / frequency);
    for (Packet& packet : pending_) {
        scheduledFrames_ += packet.frames;
        packet.qpc = qpc;
    }
    // The first packet after a start follows no packet it could be
    // correlated with: the platform flags it, as it does after a glitch.
    if (firstAfterStart_) {
        pending_.front().flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        firstAfterStart_ = false;
    }
    const Overflow overflow = queue_.Push(pending_);
    if (overflow.packets != 0) {
        Record("Overflow dropped=" + std::to_string(overflow.packets) +
               " frames=" + std::to_string(overflow.frames));
    }
    Wake(packets);
}

void Delivery::Wake(size_t packets) {
    if (scenario_.recordPackets) Record("Wake packets=" + std::to_string(packets));
    SetEvent(sampleReady_);
}

bool Delivery::WaitUntilDue() {
    if (fast_) return true;
    const INT64 due = base_ + ScheduleOffset();
    for (;;) {
        const INT64 now = Now();
        if (now >= due) return true;
        const INT64 milliseconds =
            ((due - now) * 1000 + frequency_.QuadPart - 1) / frequency_.QuadPart;
        if (!Idle(static_cast<DWORD>(milliseconds))) return false;
    }
}

bool Delivery::Idle(DWORD milliseconds) {
    return WaitForSingleObject(stop_.Get(), milliseconds) == WAIT_TIMEOUT;
}

INT64 Delivery::ScheduleOffset() const {
    const INT64 frequency = frequency_.QuadPart;
    return static_cast<INT64>(scheduledFrames_) * frequency / static_cast<INT64>(kFramesPerSecond) +
           static_cast<INT64>(pausedMilliseconds_) * frequency / 1000;
}

INT64 Delivery::Now() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}
