// A JACK client that plays a sine tone, for the desktop tests on servers
// whose distribution has no JACK file player:
//
//   jack_tone_player --hz <n> [--amplitude <a>] <input port> <input port>
//
// It registers the outputs out_1 and out_2, plays the tone on both at the
// graph's own rate, and connects out_1 and out_2 to the two input ports
// named (a sink's "<description>:playback_FL", say), retrying while the
// graph is still being made. Run under pw-jack, it is a JACK node of the
// PipeWire graph, as any JACK program is. It plays until it is killed.
#include <jack/jack.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kOutputs = 2;
constexpr int kConnectTries = 200;  // 50 ms apart: 10 s for the sink's ports to show
constexpr useconds_t kConnectPause = 50 * 1000;

struct Tone {
    jack_port_t* outputs[kOutputs] = {};
    double step = 0;       // phase advance per frame; set before activation
    double amplitude = 0;  // set before activation
    double phase = 0;      // the real-time thread's alone once active
};

int Play(jack_nframes_t frames, void* data) {
    auto& tone = *static_cast<Tone*>(data);
    float* out[kOutputs];
    for (int i = 0; i < kOutputs; ++i)
        out[i] = static_cast<float*>(jack_port_get_buffer(tone.outputs[i], frames));
    for (jack_nframes_t frame = 0; frame < frames; ++frame) {
        const auto sample = static_cast<float>(tone.amplitude * std::sin(tone.phase));
        tone.phase = std::fmod(tone.phase + tone.step, 2 * M_PI);
        for (float* channel : out)
            channel[frame] = sample;
    }
    return 0;
}

[[noreturn]] void Usage() {
    std::fputs("usage: jack_tone_player --hz <n> [--amplitude <a>] <input port> <input port>\n",
               stderr);
    std::exit(2);
}

bool ConnectWithRetries(jack_client_t* client, jack_port_t* output, const char* input) {
    for (int attempt = 0; attempt < kConnectTries; ++attempt) {
        const int result = jack_connect(client, jack_port_name(output), input);
        if (result == 0 || result == EEXIST) return true;
        usleep(kConnectPause);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    double hz = 0;
    double amplitude = 0.3;
    const char* inputs[kOutputs] = {};
    int named = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hz") == 0 && i + 1 < argc) {
            hz = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--amplitude") == 0 && i + 1 < argc) {
            amplitude = std::atof(argv[++i]);
        } else if (argv[i][0] != '-' && named < kOutputs) {
            inputs[named++] = argv[i];
        } else {
            Usage();
        }
    }
    if (hz <= 0 || amplitude <= 0 || amplitude > 1 || named != kOutputs) Usage();

    // Blocked before the library starts its threads, so that they inherit
    // the mask and the end signal reaches sigwait below.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    jack_status_t status;
    jack_client_t* client = jack_client_open("jack_tone_player", JackNoStartServer, &status);
    if (client == nullptr) {
        std::fprintf(stderr, "jack_tone_player: no JACK server (status 0x%x)\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    Tone tone;
    tone.step = 2 * M_PI * hz / jack_get_sample_rate(client);
    tone.amplitude = amplitude;
    for (int i = 0; i < kOutputs; ++i) {
        const std::string name = "out_" + std::to_string(i + 1);
        tone.outputs[i] =
            jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (tone.outputs[i] == nullptr) {
            std::fprintf(stderr, "jack_tone_player: cannot register %s\n", name.c_str());
            jack_client_close(client);
            return 1;
        }
    }
    if (jack_set_process_callback(client, Play, &tone) != 0 || jack_activate(client) != 0) {
        std::fputs("jack_tone_player: cannot activate\n", stderr);
        jack_client_close(client);
        return 1;
    }
    for (int i = 0; i < kOutputs; ++i) {
        if (!ConnectWithRetries(client, tone.outputs[i], inputs[i])) {
            std::fprintf(stderr, "jack_tone_player: cannot connect to %s\n", inputs[i]);
            jack_client_close(client);
            return 1;
        }
    }
    // The tone plays on the real-time thread; this one only waits for the
    // signal that ends the player.
    int received = 0;
    sigwait(&ending, &received);
    jack_client_close(client);
    return 0;
}
