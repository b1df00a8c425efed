// What harkwell's capture stream asks the server for.
#pragma once

#include <iterator>
#include <string>

#include "linux/pipewire/pipewire_api.h"
#include "linux/tool/link_table.h"

// The format Harkwell writes: signed 16-bit little-endian, 48000 Hz, front
// left and front right.
inline const spa_pod* BuildPcmFormat(spa_pod_builder* builder) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = 48000;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    return BuildRawAudioFormat(builder, info);
}

// How many buffers the capture stream keeps between the server's thread and
// the loop that writes them out. Buffers are processed on the main loop, not
// in the server's real-time cycle, so a loop held up for a cycle or two (a
// slow reader of the output, a busy machine, a burst of graph events) must
// find free buffers waiting, or the cycle's sound is dropped: 32 are over
// half a second of slack at the default period of 1024 frames, 170 ms at a
// period of 256. (The converter's own maximum is 32.) With the 2 that the
// converter chooses when asked for a range, a capture lost a period in about
// half of the runs in which another player made the period 256 frames.
inline constexpr int kCaptureBuffers = 32;

inline const spa_pod* BuildCaptureBuffers(spa_pod_builder* builder) {
    return BuildBuffersParam(builder, kCaptureBuffers);
}

// The capture node's input ports: one per position of kCaptureChannels, so
// that what a stream plays on a surround sink arrives whole and the node's
// own converter downmixes it to the stereo above.
inline const spa_pod* BuildCapturePortConfig(spa_pod_builder* builder) {
    spa_audio_info_raw positions{};
    positions.rate = 48000;
    positions.channels = static_cast<uint32_t>(std::size(kCaptureChannels));
    static_assert(std::size(kCaptureChannels) <= SPA_AUDIO_MAX_CHANNELS);
    for (size_t i = 0; i < std::size(kCaptureChannels); ++i) {
        positions.position[i] = AudioChannelPosition(std::string(kCaptureChannels[i]).c_str());
    }
    return BuildDspPortConfig(builder, SPA_DIRECTION_INPUT, positions);
}
