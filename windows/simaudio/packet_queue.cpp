#include "windows/simaudio/packet_queue.h"

#include <audioclient.h>

#include <cstddef>
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

constexpr size_t kMaxSpareBuffers = 256;

}  // namespace

PacketQueue::PacketQueue() = default;

void PacketQueue::SetCapacity(UINT32 frames) {
    std::lock_guard<SrwLock> lock(mutex_);
    capacity_ = frames;
}

Overflow PacketQueue::Push(std::vector<Packet>& packets) {
    std::lock_guard<SrwLock> lock(mutex_);
    for (Packet& packet : packets)
        packets_.push_back(std::move(packet));
    packets.clear();

    Overflow overflow;
    if (capacity_ == 0) return overflow;
    UINT64 held = 0;
    for (const Packet& packet : packets_)
        held += packet.frames;
    // The packet handed out stays where it is; its memory is the consumer's.
    const size_t oldest = handedOut_ ? 1 : 0;
    while (held > capacity_ && packets_.size() > oldest + 1) {
        Packet& dropped = packets_[oldest];
        held -= dropped.frames;
        ++overflow.packets;
        overflow.frames += dropped.frames;
        if (!dropped.samples.empty() && spareBuffers_.size() < kMaxSpareBuffers) {
            spareBuffers_.push_back(std::move(dropped.samples));
        }
        packets_.erase(packets_.begin() + static_cast<std::ptrdiff_t>(oldest));
    }
    if (overflow.packets != 0) packets_[oldest].flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    return overflow;
}

bool PacketQueue::WaitDrained() {
    std::lock_guard<SrwLock> lock(mutex_);
    while (!packets_.empty() && !aborted_) {
        SleepConditionVariableSRW(&changed_, mutex_.native(), INFINITE, 0);
    }
    return !aborted_;
}

void PacketQueue::SetAborted(bool aborted) {
    std::lock_guard<SrwLock> lock(mutex_);
    aborted_ = aborted;
    WakeAllConditionVariable(&changed_);
}

std::vector<BYTE> PacketQueue::SpareBuffer() {
    std::lock_guard<SrwLock> lock(mutex_);
    if (spareBuffers_.empty()) return {};
    std::vector<BYTE> buffer = std::move(spareBuffers_.back());
    spareBuffers_.pop_back();
    return buffer;
}

UINT32 PacketQueue::NextFrames() {
    std::lock_guard<SrwLock> lock(mutex_);
    if (packets_.empty()) return 0;
    // An empty packet is still announced as pending, or it could never be
    // fetched.
    return packets_.front().frames == 0 ? 1 : packets_.front().frames;
}

Handout PacketQueue::Get(bool describe, bool reportEmpty) {
    std::lock_guard<SrwLock> lock(mutex_);
    Handout handout;
    if (handedOut_) {
        handout.result = AUDCLNT_E_OUT_OF_ORDER;
    } else if (packets_.empty() || reportEmpty) {
        handout.result = AUDCLNT_S_BUFFER_EMPTY;
        emptyHandedOut_ = true;
    } else {
        emptyHandedOut_ = false;
        const Packet& packet = packets_.front();
        handedOut_ = true;
        handout.data = packet.data;
        handout.frames = packet.frames;
        handout.flags = packet.flags;
        handout.position = packet.position;
        handout.qpc = packet.qpc;
        handout.content = describe ? DescribeContent(packet) : "unchecked";
    }
    return handout;
}

HRESULT PacketQueue::Release(UINT32 frames) {
    std::lock_guard<SrwLock> lock(mutex_);
    if (!handedOut_) {
        if (frames != 0 || !emptyHandedOut_) return AUDCLNT_E_OUT_OF_ORDER;
        emptyHandedOut_ = false;
        return S_OK;
    }
    // Zero gives a non-empty packet back unread; it stays first in line.
    const UINT32 handed = packets_.front().frames;
    if (frames != 0 && frames != handed) return AUDCLNT_E_INVALID_SIZE;
    handedOut_ = false;
    if (frames == handed) {
        if (!packets_.front().samples.empty() && spareBuffers_.size() < kMaxSpareBuffers) {
            spareBuffers_.push_back(std::move(packets_.front().samples));
        }
        packets_.pop_front();
    }
    if (packets_.empty()) WakeAllConditionVariable(&changed_);
    return S_OK;
}

HRESULT PacketQueue::Clear() {
    std::lock_guard<SrwLock> lock(mutex_);
    if (handedOut_) return AUDCLNT_E_BUFFER_OPERATION_PENDING;
    packets_.clear();
    WakeAllConditionVariable(&changed_);
    return S_OK;
}
