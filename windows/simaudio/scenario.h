// The scenario: what the simulated device delivers and which calls fail.
// Loops and repeat counts stay folded; Cursor unfolds them one step at a time,
// so an hour of packets costs a few lines of memory.
//
// The delivery is scripted in one of two ways, never both: packet by packet
// (data, silent, nodata, prefill, batch, pause, spurious), or as a simulated
// system, a table of processes playing tones (`process`) and a timeline of
// `play`, `quiet` and `idle` steps, from which each activation hears what its
// process tree selects. Loops serve both.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "windows/simaudio/endpoint_scenario.h"

// The calls a `fail` line can name.
enum class Call {
    ActivateAudioInterfaceAsync,
    GetActivateResult,
    QueryInterface,
    Initialize,
    GetService,
    SetEventHandle,
    Start,
    Stop,
    GetNextPacketSize,
    GetBuffer,
    ReleaseBuffer,
    // The device enumerator and the session objects behind it.
    CreateInstance,
    EnumAudioEndpoints,
    Activate,
    GetSessionEnumerator,
    GetSession,
    GetProcessId,
    GetState,
    IsSystemSoundsSession,
    Count
};

// Tone: the sum of the tones the activation selects, at the timeline's
// position; a step of it with nothing selected delivers no packet.
enum class PacketKind { Data, Silent, NoData, Tone };
enum class Pacing { Fast, Realtime };
// When the completion handler is called: on a thread of the stack's own after
// the request has returned (the default), on the requesting thread before it
// returns, on the stack's thread after a delay, or not at all.
enum class Completion { Callback, Synchronous, Delayed, Never };

// One thing the delivery thread does.
struct Step {
    enum class Kind { Packet, Batch, Pause, Spurious };
    Kind kind = Kind::Packet;
    PacketKind packet = PacketKind::Data;
    UINT32 frames = 0;
    DWORD flags = 0;
    bool prefill = false;
    // Packets per wake (Batch), milliseconds (Pause) or wakes (Spurious).
    UINT32 value = 0;
};

// A line of the delivery program: a step repeated `count` times, or the
// bracket of a loop whose body runs `count` times.
struct Directive {
    enum class Kind { Step, LoopBegin, LoopEnd };
    Kind kind = Kind::Step;
    Step step;
    UINT32 count = 1;
    // The index of the matching bracket (loop brackets only).
    size_t partner = 0;
};

struct Fault {
    Call call;
    UINT32 nth;
    HRESULT code;
};

// A process of the simulated system; tone 0 plays nothing.
struct SimulatedProcess {
    UINT32 pid;
    UINT32 parent;
    UINT32 tone;
};

struct Scenario {
    // 0 when the text was accepted, else the 1-based line that was rejected
    // (or 0 with errorText set when the file could not be read).
    size_t errorLine = 0;
    std::string errorText;

    HRESULT activateResult = S_OK;
    Completion completion = Completion::Callback;
    UINT32 completionDelayMilliseconds = 0;
    Pacing pacing = Pacing::Fast;
    bool recordPackets = true;
    std::vector<Fault> faults;
    std::vector<Directive> program;
    // The simulated system's process table (system scenarios only).
    bool system = false;
    std::vector<SimulatedProcess> processes;
    // The audio endpoints the device enumerator lists.
    std::vector<SimulatedEndpoint> endpoints;

    bool Valid() const { return errorLine == 0 && errorText.empty(); }
    // The code injected into the nth call of `call`, if any.
    std::optional<HRESULT> InjectedInto(Call call, UINT32 nth) const;
    UINT32 LargestSilentPacket() const;
    // The tones of the processes a capture of the tree rooted at `root`
    // hears: the tree itself (include) or everything else.
    std::vector<UINT32> SelectedTones(UINT32 root, bool include) const;
};

Scenario ParseScenario(const std::string& text);

// Walks a program, unfolding repeats and loops lazily.
class Cursor {
public:
    explicit Cursor(const std::vector<Directive>& program) : program_(&program) {}

    // The next step, or null after the last one.
    const Step* Peek();
    // Moves past the step Peek returned.
    void Advance() { ++repeatsDone_; }

private:
    struct OpenLoop {
        size_t begin;
        UINT32 left;
    };

    const std::vector<Directive>* program_;
    size_t index_ = 0;
    UINT32 repeatsDone_ = 0;
    std::vector<OpenLoop> loops_;
};
