// The scenario: what the simulated device delivers and which calls fail.
// Loops and repeat counts stay folded; Cursor unfolds them one step at a time,
// so an hour of packets costs a few lines of memory.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

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
    Count
};

enum class PacketKind { Data, Silent, NoData };
enum class Pacing { Fast, Realtime };

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

struct Scenario {
    // 0 when the text was accepted, else the 1-based line that was rejected
    // (or 0 with errorText set when the file could not be read).
    size_t errorLine = 0;
    std::string errorText;

    HRESULT activateResult = S_OK;
    Pacing pacing = Pacing::Fast;
    bool recordPackets = true;
    std::vector<Fault> faults;
    std::vector<Directive> program;

    bool Valid() const { return errorLine == 0 && errorText.empty(); }
    // The code injected into the nth call of `call`, if any.
    std::optional<HRESULT> InjectedInto(Call call, UINT32 nth) const;
    UINT32 LargestSilentPacket() const;
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
