// The packets delivered and not yet released, shared by the delivery thread
// (which appends) and the consumer's capture calls (which take them in order).
#pragma once

#include <windows.h>

#include <deque>
#include <mutex>
#include <vector>

#include "windows/simaudio/scenario.h"
#include "windows/simaudio/srw_lock.h"

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

// What an overflow of the engine buffer cost: whole packets, oldest first.
struct Overflow {
    UINT32 packets = 0;
    UINT64 frames = 0;
};

class PacketQueue {
public:
    PacketQueue();

    // Frames the engine buffer holds, the packet handed out included; 0
    // (the default) holds any number.
    void SetCapacity(UINT32 frames);
    // Appends the packets. Beyond the capacity the oldest packets not handed
    // out are dropped, never the newest, and the first packet after the gap
    // carries the data-discontinuity flag.
    Overflow Push(std::vector<Packet>& packets);
    // Waits until every packet has been released (true) or the wait is
    // aborted (false).
    bool WaitDrained();
    // While aborted, WaitDrained returns false at once.
    void SetAborted(bool aborted);
    // A buffer left by a released packet, or an empty one; reusing them keeps
    // the delivery of long streams free of allocations.
    std::vector<BYTE> SpareBuffer();

    UINT32 NextFrames();
    // With describe, checks what the data holds (for the record). With
    // reportEmpty, answers as if nothing were pending and hands out nothing.
    Handout Get(bool describe, bool reportEmpty);
    // After an answer of "buffer empty", a release of 0 frames is accepted.
    HRESULT Release(UINT32 frames);
    // Drops every packet; fails while one is handed out.
    HRESULT Clear();

private:
    SrwLock mutex_;
    // Guarded by mutex_.
    std::deque<Packet> packets_;
    UINT32 capacity_ = 0;
    bool handedOut_ = false;
    // The last GetBuffer found nothing and nothing has been released since.
    bool emptyHandedOut_ = false;
    bool aborted_ = false;
    std::vector<std::vector<BYTE>> spareBuffers_;
    // Signalled (under mutex_) when packets_ becomes empty or aborted_ is set;
    // waited on by the delivery thread. In-process, unlike an event, so the
    // simulated device adds no server round trips per packet.
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
};
