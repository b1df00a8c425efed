// The simulated device: a thread that walks the scenario, queues its packets
// and sets the consumer's sampleReady event, paced as the scenario says.
// Stop and a later Start resume where delivery left off; the first packet
// queued after each Start carries the data-discontinuity flag.
#pragma once

#include <windows.h>

#include <vector>

#include "windows/tool/platform/unique_handle.h"
#include "windows/simaudio/packet_queue.h"
#include "windows/simaudio/scenario.h"

class Delivery {
public:
    // `tones`: what the activation hears of a simulated system.
    Delivery(const Scenario& scenario, PacketQueue& queue, std::vector<UINT32> tones);
    ~Delivery();

    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    // Queues the leading prefill packets, signals them, and starts the thread.
    HRESULT Start(HANDLE sampleReady);
    // Ends the thread; sampleReady is not touched after this returns.
    void Stop();

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Run();

    Packet MakePacket(const Step& step);
    void FillTones(Packet& packet);
    // A stretch without packets; false when stopped meanwhile.
    bool Rest(UINT32 milliseconds);
    // Queues the pending packets as one wake once it is due (fast pacing:
    // and waits until they are consumed); false when stopped meanwhile.
    bool Flush();
    void QueuePending();
    void Wake(size_t packets);
    bool WaitUntilDue();
    bool Idle(DWORD milliseconds);
    INT64 ScheduleOffset() const;
    static INT64 Now();

    const Scenario& scenario_;
    PacketQueue& queue_;
    const bool fast_;
    const std::vector<UINT32> tones_;
    // Reserved, never committed: reading a silent packet faults.
    BYTE* silentPages_ = nullptr;
    LARGE_INTEGER frequency_{};

    // The walk through the scenario. Written by Start before the thread
    // exists and by the thread while it runs; Stop joins the thread before
    // anything else touches them again.
    Cursor cursor_;
    UINT64 position_ = 0;
    // Frames of time the scenario has covered, pauses included: where the
    // tones are.
    UINT64 timeline_ = 0;
    UINT32 batch_ = 1;
    std::vector<Packet> pending_;
    // Frames of every packet queued so far and milliseconds of pauses: the
    // due time of the next wake, counted from base_.
    UINT64 scheduledFrames_ = 0;
    UINT64 pausedMilliseconds_ = 0;
    INT64 base_ = 0;
    // The consumer's event; set only between Start and Stop.
    HANDLE sampleReady_ = nullptr;
    // Until the first packet after Start is queued: it carries the
    // data-discontinuity flag.
    bool firstAfterStart_ = false;

    // Set by Stop, waited on by the thread.
    UniqueHandle stop_;
    UniqueHandle thread_;
};
