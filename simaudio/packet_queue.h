// The packets delivered and not yet released, shared by the delivery thread
// (which appends) and the consumer's capture calls (which take them in order).
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <vector>

#include "simaudio/scenario.h"
#include "simaudio/srw_lock.h"

constexpr UINT32 kBytesPerFrame = 4;

// The 32-bit frame at running position `position`.
inline UINT32 PatternFrame(UINT64 position) {
    return static_cast<UINT32>(0x5A5A0000u + position);
}

struct Packet {
    PacketKind kind = PacketKind::Data;
    UINT32 frames = 0;
    DWORD flags = 0;
    // Running frame position of the first frame.
    UINT64 position = 0;
    // Performance-counter time of delivery, in 100 ns units.
    UINT64 qpc = 0;
    // The frames of a data or tone packet.
    std::vector<BYTE> samples;
    // What GetBuffer hands out: samples, an inaccessible page, or null.
    BYTE* data = nullptr;
};

// What GetBuffer hands to the consumer.
struct Handout {
    HRESULT result = S_OK;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0;
    UINT64 qpc = 0;
    // "pattern", "tone", "unchecked", "garbage" (not the expected frames, or not readable)
    // or "null".
    const char* content = "null";
};

class PacketQueue {
public:
    PacketQueue();

    void Push(std::vector<Packet>& packets);
    // Waits until every packet has been released (true) or the wait is
    // aborted (false).
    bool WaitDrained();
    // While aborted, WaitDrained returns false at once.
    void SetAborted(bool aborted);
    // A buffer left by a released packet, or an empty one; reusing them keeps
    // the delivery of long streams free of allocations.
    std::vector<BYTE> SpareBuffer();

    UINT32 NextFrames();
    // With describe, checks what the data holds (for the record).
    Handout Get(bool describe);
    HRESULT Release(UINT32 frames);
    UINT32 QueuedFrames();
    // Drops every packet; fails while one is handed out.
    HRESULT Clear();

private:
    SrwLock mutex_;
    // Guarded by mutex_.
    std::deque<Packet> packets_;
    bool handedOut_ = false;
    bool aborted_ = false;
    std::vector<std::vector<BYTE>> spareBuffers_;
    // Signalled (under mutex_) when packets_ becomes empty or aborted_ is set;
    // waited on by the delivery thread. In-process, unlike an event, so the
    // simulated device adds no server round trips per packet.
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
};
