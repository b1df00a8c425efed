// The playback streams of the PipeWire graph as it is now, read once.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "linux/pipewire/pipewire_connection.h"

struct PlaybackStream {
    uint32_t node = 0;
    // The process that plays it, by the same rules as the capture's; nothing
    // when it cannot be told.
    std::optional<uint32_t> owner;
    // The node is running: the graph is pulling sound from it now.
    bool playing = false;
    // application.name, when the stream states one.
    std::string application;
};

// Connects, reads every Stream/Output/Audio node with its state and
// properties, and disconnects. Executables (to know the PulseAudio bridge)
// are read from procRoot, normally "/proc". Fails when the server cannot be
// reached, fails, or has not answered within `answerWithin` (the failure's
// error is then kNoAnswerError).
std::optional<SetupFailure> ReadPlaybackStreams(const std::string& procRoot,
                                                const timespec& answerWithin,
                                                std::vector<PlaybackStream>& streams);
