#include "simaudio/packet_queue.h"

#include <audioclient.h>

#include <cstring>

namespace {

const char* DescribeContent(const Packet& packet) {
    if (packet.data == nullptr) return "null";
    if (packet.kind == PacketKind::Tone) return "tone";
    if (packet.kind != PacketKind::Data) return "garbage";
    for (UINT32 i = 0; i < packet.frames; ++i) {
        UINT32 frame = 0;
        std::memcpy(&frame, packet.data + UINT64{i} * kBytesPerFrame, sizeof frame);
        if (frame != PatternFrame(packet.position + i)) return "garbage";
    }
    return "pattern";
}

}  // namespace

PacketQueue::PacketQueue() : drained_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

void PacketQueue::Push(std::vector<Packet>& packets) {
    std::lock_guard<SrwLock> lock(mutex_);
    for (Packet& packet : packets) packets_.push_back(std::move(packet));
    packets.clear();
    if (!packets_.empty()) ResetEvent(drained_.Get());
}

bool PacketQueue::WaitDrained(HANDLE stop) {
    const HANDLE handles[2] = {stop, drained_.Get()};
    return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

UINT32 PacketQueue::NextFrames() {
    std::lock_guard<SrwLock> lock(mutex_);
    if (packets_.empty()) return 0;
    // An empty packet is still announced as pending, or it could never be
    // fetched.
    return packets_.front().frames == 0 ? 1 : packets_.front().frames;
}

Handout PacketQueue::Get() {
    std::lock_guard<SrwLock> lock(mutex_);
    Handout handout;
    if (handedOut_) {
        handout.result = AUDCLNT_E_OUT_OF_ORDER;
    } else if (packets_.empty()) {
        handout.result = AUDCLNT_S_BUFFER_EMPTY;
    } else {
        const Packet& packet = packets_.front();
        handedOut_ = true;
        handout.data = packet.data;
        handout.frames = packet.frames;
        handout.flags = packet.flags;
        handout.position = packet.position;
        handout.qpc = packet.qpc;
        handout.content = DescribeContent(packet);
    }
    return handout;
}

HRESULT PacketQueue::Release(UINT32 frames) {
    std::lock_guard<SrwLock> lock(mutex_);
    if (!handedOut_) return AUDCLNT_E_OUT_OF_ORDER;
    // Zero gives a non-empty packet back unread; it stays first in line.
    const UINT32 handed = packets_.front().frames;
    if (frames != 0 && frames != handed) return AUDCLNT_E_INVALID_SIZE;
    handedOut_ = false;
    if (frames == handed) packets_.pop_front();
    if (packets_.empty()) SetEvent(drained_.Get());
    return S_OK;
}

UINT32 PacketQueue::QueuedFrames() {
    std::lock_guard<SrwLock> lock(mutex_);
    UINT32 frames = 0;
    for (const Packet& packet : packets_) frames += packet.frames;
    return frames;
}

HRESULT PacketQueue::Clear() {
    std::lock_guard<SrwLock> lock(mutex_);
    if (handedOut_) return AUDCLNT_E_BUFFER_OPERATION_PENDING;
    packets_.clear();
    SetEvent(drained_.Get());
    return S_OK;
}
