// A native PipeWire player for the lister's tests, whose process tree and
// stream state the tests choose:
//
//   stream_player [--paused] [--hz <n>] [--child <args...>]
//
// --hz plays a sine tone of that frequency (signed 16-bit, 48 kHz, stereo);
// --paused connects its stream but keeps it inactive, as a player that has
// paused does; with neither it plays nothing and only waits. --child first
// starts this same executable with the remaining arguments, as a browser
// starts its audio process. It runs until it is killed.
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "linux/pipewire/pipewire_api.h"
#include "linux/tool/capture_format.h"

namespace {

// The stream's format, as BuildPcmFormat describes it.
constexpr int kRate = 48000;
constexpr int kChannels = 2;

struct Tone {
    double hz = 0;
    double phase = 0;
    pw_stream* stream = nullptr;
};

void FillTone(void* data) {
    auto& tone = *static_cast<Tone*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(tone.stream);
    if (buffer == nullptr) return;
    spa_data& block = buffer->buffer->datas[0];
    auto* samples = static_cast<int16_t*>(block.data);
    if (samples == nullptr) return;
    uint32_t frames = block.maxsize / (kChannels * sizeof(int16_t));
    if (buffer->requested != 0 && buffer->requested < frames) {
        frames = static_cast<uint32_t>(buffer->requested);
    }
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const auto sample = static_cast<int16_t>(0.3 * 32767 * std::sin(tone.phase));
        tone.phase += 2 * M_PI * tone.hz / kRate;
        for (int channel = 0; channel < kChannels; ++channel)
            samples[frame * kChannels + static_cast<uint32_t>(channel)] = sample;
    }
    block.chunk->offset = 0;
    block.chunk->stride = kChannels * sizeof(int16_t);
    block.chunk->size = frames * kChannels * sizeof(int16_t);
    pw_stream_queue_buffer(tone.stream, buffer);
}

[[noreturn]] void Usage() {
    std::fputs("usage: stream_player [--paused] [--hz <n>] [--child <args...>]\n", stderr);
    std::exit(2);
}

// Starts this same executable with argv[first...] as its arguments.
void StartChild(char** argv, int first) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        std::perror("stream_player: /proc/self/exe");
        std::exit(1);
    }
    path[length] = '\0';
    std::vector<char*> childArgv = {argv[0]};
    for (char** arg = argv + first; *arg != nullptr; ++arg)
        childArgv.push_back(*arg);
    childArgv.push_back(nullptr);
    if (fork() == 0) {
        execv(path, childArgv.data());
        std::perror("stream_player: exec");
        _exit(127);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool paused = false;
    Tone tone;
    for (int arg = 1; arg < argc; ++arg) {
        if (std::strcmp(argv[arg], "--paused") == 0) {
            paused = true;
        } else if (std::strcmp(argv[arg], "--hz") == 0 && arg + 1 < argc) {
            tone.hz = std::atof(argv[++arg]);
        } else if (std::strcmp(argv[arg], "--child") == 0) {
            StartChild(argv, arg + 1);
            break;
        } else {
            Usage();
        }
    }
    if (!paused && tone.hz <= 0) {
        for (;;)
            pause();
    }

    PipeWireLibrary library;
    const MainLoopPtr loop(pw_main_loop_new(nullptr));
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.process = &FillTone;
    StreamPtr stream(pw_stream_new_simple(
        pw_main_loop_get_loop(loop.get()), "stream_player",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                          PW_KEY_APP_NAME, paused ? "Paused Player" : "Tone Player", nullptr),
        &events, &tone));
    if (!stream) {
        std::perror("stream_player: stream");
        return 1;
    }
    tone.stream = stream.get();
    uint8_t podBuffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, podBuffer, sizeof podBuffer);
    const spa_pod* params[] = {BuildPcmFormat(&builder)};
    auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     (paused ? PW_STREAM_FLAG_INACTIVE : 0));
    if (pw_stream_connect(stream.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params,
                          static_cast<uint32_t>(std::size(params))) < 0) {
        std::fputs("stream_player: cannot connect\n", stderr);
        return 1;
    }
    pw_main_loop_run(loop.get());
    return 0;
}
