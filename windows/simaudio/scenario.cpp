#include "windows/simaudio/scenario.h"

#include <audioclient.h>

#include <cstring>
#include <utility>

namespace {

const char* const kCallNames[] = {"ActivateAudioInterfaceAsync",
                                  "GetActivateResult",
                                  "QueryInterface",
                                  "Initialize",
                                  "GetService",
                                  "SetEventHandle",
                                  "Start",
                                  "Stop",
                                  "GetNextPacketSize",
                                  "GetBuffer",
                                  "ReleaseBuffer",
                                  "CreateInstance",
                                  "EnumAudioEndpoints",
                                  "Activate",
                                  "GetSessionEnumerator",
                                  "GetSession",
                                  "GetProcessId",
                                  "GetState",
                                  "IsSystemSoundsSession"};
static_assert(sizeof kCallNames / sizeof kCallNames[0] == static_cast<size_t>(Call::Count),
              "one name per call");

bool ParseDecimal(const std::string& text, UINT32& value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number > 0xFFFFFFFFull) return false;
    value = static_cast<UINT32>(number);
    return true;
}

bool ParseHex32(const std::string& text, DWORD& value) {
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' ||
        (text[1] != 'x' && text[1] != 'X')) {
        return false;
    }
    DWORD number = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        DWORD digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<DWORD>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<DWORD>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<DWORD>(c - 'A' + 10);
        } else {
            return false;
        }
        number = (number << 4) | digit;
    }
    value = number;
    return true;
}

bool ParseCode(const std::string& text, HRESULT& code) {
    DWORD value = 0;
    if (!ParseHex32(text, value)) return false;
    code = static_cast<HRESULT>(value);
    return true;
}

bool ParseCall(const std::string& text, Call& call) {
    for (size_t i = 0; i < static_cast<size_t>(Call::Count); ++i) {
        if (text == kCallNames[i]) {
            call = static_cast<Call>(i);
            return true;
        }
    }
    return false;
}

// `<kind> <frames> [count] [flags=0x..]`, tokens starting at `first`.
bool ParsePacket(const std::vector<std::string>& tokens, size_t first, Directive& line) {
    line.kind = Directive::Kind::Step;
    line.step.kind = Step::Kind::Packet;
    const std::string& kind = tokens[first];
    if (kind == "data") {
        line.step.packet = PacketKind::Data;
    } else if (kind == "silent") {
        line.step.packet = PacketKind::Silent;
        line.step.flags = AUDCLNT_BUFFERFLAGS_SILENT;
    } else if (kind == "nodata") {
        line.step.packet = PacketKind::NoData;
    } else {
        return false;
    }
    if (tokens.size() < first + 2 || !ParseDecimal(tokens[first + 1], line.step.frames)) {
        return false;
    }
    bool countSeen = false;
    for (size_t i = first + 2; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token.compare(0, 6, "flags=") == 0 && line.step.packet != PacketKind::Silent) {
            if (!ParseHex32(token.substr(6), line.step.flags)) return false;
        } else if (!countSeen && ParseDecimal(token, line.count)) {
            countSeen = true;
        } else {
            return false;
        }
    }
    return true;
}

// The two ways of scripting delivery, which one scenario may not mix.
enum class Style { Either, Packets, System };

Style StyleOf(const std::string& word) {
    static const char* const packetWords[] = {"data",  "silent", "nodata",  "prefill",
                                              "batch", "pause",  "spurious"};
    static const char* const systemWords[] = {"process", "play", "quiet", "idle"};
    for (const char* packetWord : packetWords) {
        if (word == packetWord) return Style::Packets;
    }
    for (const char* systemWord : systemWords) {
        if (word == systemWord) return Style::System;
    }
    return Style::Either;
}

struct ParseState {
    std::vector<size_t> openLoops;
    Style style = Style::Either;
    bool pacingGiven = false;
};

// Tones at or above half the sample rate cannot be played.
constexpr UINT32 kHighestTone = 23999;

// `<pid> parent=<ppid> tone=<hz>`, after the word `process`.
bool ParseProcess(const std::vector<std::string>& tokens, Scenario& scenario) {
    SimulatedProcess process{};
    if (tokens.size() != 4 || !ParseDecimal(tokens[1], process.pid) ||
        tokens[2].compare(0, 7, "parent=") != 0 ||
        !ParseDecimal(tokens[2].substr(7), process.parent) ||
        tokens[3].compare(0, 5, "tone=") != 0 || !ParseDecimal(tokens[3].substr(5), process.tone) ||
        process.tone > kHighestTone) {
        return false;
    }
    for (const SimulatedProcess& known : scenario.processes) {
        if (known.pid == process.pid) return false;
    }
    scenario.processes.push_back(process);
    return true;
}

// `play|quiet|idle <ms>`: packets of 10 ms for play and idle, a pause for quiet.
bool ParseTimelineStep(const std::vector<std::string>& tokens, Directive& line) {
    UINT32 milliseconds = 0;
    if (tokens.size() != 2 || !ParseDecimal(tokens[1], milliseconds)) return false;
    if (tokens[0] == "quiet") {
        line.step.kind = Step::Kind::Pause;
        line.step.value = milliseconds;
        return true;
    }
    if (milliseconds % 10 != 0) return false;
    line.step.kind = Step::Kind::Packet;
    line.step.frames = 480;
    line.count = milliseconds / 10;
    if (tokens[0] == "play") {
        line.step.packet = PacketKind::Tone;
    } else {
        line.step.packet = PacketKind::Silent;
        line.step.flags = AUDCLNT_BUFFERFLAGS_SILENT;
    }
    return true;
}

// `synchronous`, `delayed <ms>` or `never`, after the word `completion`.
bool ParseCompletion(const std::vector<std::string>& tokens, Scenario& scenario) {
    if (tokens.size() == 2 && tokens[1] == "synchronous") {
        scenario.completion = Completion::Synchronous;
        return true;
    }
    if (tokens.size() == 2 && tokens[1] == "never") {
        scenario.completion = Completion::Never;
        return true;
    }
    scenario.completion = Completion::Delayed;
    return tokens.size() == 3 && tokens[1] == "delayed" &&
           ParseDecimal(tokens[2], scenario.completionDelayMilliseconds);
}

// Applies one line to the scenario; false when the line is not understood.
bool ParseLine(const std::vector<std::string>& tokens, Scenario& scenario, ParseState& state) {
    const std::string& word = tokens[0];
    const size_t size = tokens.size();
    const Style style = StyleOf(word);
    if (style != Style::Either) {
        if (state.style != Style::Either && state.style != style) return false;
        state.style = style;
    }
    std::vector<size_t>& openLoops = state.openLoops;
    Directive line;
    if (word == "fail") {
        Fault fault{Call::Count, 1, S_OK};
        if (size < 3 || size > 4 || !ParseCall(tokens[1], fault.call) ||
            !ParseCode(tokens[2], fault.code)) {
            return false;
        }
        if (size == 4 && (!ParseDecimal(tokens[3], fault.nth) || fault.nth == 0)) return false;
        scenario.faults.push_back(fault);
        return true;
    }
    if (word == "activate-result") {
        return size == 2 && ParseCode(tokens[1], scenario.activateResult);
    }
    if (word == "completion") return ParseCompletion(tokens, scenario);
    if (word == "pacing") {
        if (size != 2 || (tokens[1] != "fast" && tokens[1] != "realtime")) return false;
        scenario.pacing = tokens[1] == "fast" ? Pacing::Fast : Pacing::Realtime;
        state.pacingGiven = true;
        return true;
    }
    if (word == "record-packets") {
        if (size != 2 || (tokens[1] != "on" && tokens[1] != "off")) return false;
        scenario.recordPackets = tokens[1] == "on";
        return true;
    }
    if (word == "process") return ParseProcess(tokens, scenario);
    if (IsEndpointWord(word)) return ParseEndpointLine(tokens, scenario.endpoints);
    if (word == "play" || word == "quiet" || word == "idle") {
        if (!ParseTimelineStep(tokens, line)) return false;
    } else if (word == "batch" || word == "pause" || word == "spurious") {
        line.step.kind = word == "batch"   ? Step::Kind::Batch
                         : word == "pause" ? Step::Kind::Pause
                                           : Step::Kind::Spurious;
        if (size != 2 || !ParseDecimal(tokens[1], line.step.value)) return false;
        if (word == "batch" && line.step.value == 0) return false;
    } else if (word == "loop") {
        line.kind = Directive::Kind::LoopBegin;
        if (size != 2 || !ParseDecimal(tokens[1], line.count)) return false;
        openLoops.push_back(scenario.program.size());
    } else if (word == "end") {
        if (size != 1 || openLoops.empty()) return false;
        line.kind = Directive::Kind::LoopEnd;
        line.partner = openLoops.back();
        scenario.program[line.partner].partner = scenario.program.size();
        openLoops.pop_back();
    } else if (word == "prefill") {
        if (size < 2 || !ParsePacket(tokens, 1, line)) return false;
        line.step.prefill = true;
    } else if (!ParsePacket(tokens, 0, line)) {
        return false;
    }
    scenario.program.push_back(line);
    return true;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t start = line.find_first_not_of(" \t");
    while (start != std::string::npos) {
        const size_t end = line.find_first_of(" \t", start);
        words.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
    }
    return words;
}

}  // namespace

std::optional<HRESULT> Scenario::InjectedInto(Call call, UINT32 nth) const {
    std::optional<HRESULT> code;
    for (const Fault& fault : faults) {
        if (fault.call == call && fault.nth == nth) code = fault.code;
    }
    return code;
}

UINT32 Scenario::LargestSilentPacket() const {
    UINT32 largest = 0;
    for (const Directive& line : program) {
        if (line.kind == Directive::Kind::Step && line.step.kind == Step::Kind::Packet &&
            line.step.packet == PacketKind::Silent && line.step.frames > largest) {
            largest = line.step.frames;
        }
    }
    return largest;
}

std::vector<UINT32> Scenario::SelectedTones(UINT32 root, bool include) const {
    std::vector<UINT32> tones;
    for (const SimulatedProcess& process : processes) {
        if (process.tone == 0) continue;
        // Up the parent chain; a table with a cycle ends after one lap.
        bool inTree = false;
        UINT32 pid = process.pid;
        for (size_t steps = 0; steps <= processes.size() && !inTree; ++steps) {
            inTree = pid == root;
            const SimulatedProcess* current = nullptr;
            for (const SimulatedProcess& candidate : processes) {
                if (candidate.pid == pid) current = &candidate;
            }
            if (current == nullptr) break;
            pid = current->parent;
        }
        if (inTree == include) tones.push_back(process.tone);
    }
    return tones;
}

Scenario ParseScenario(const std::string& text) {
    // Split by hand: the C++ streams would start up the runtime's locale
    // machinery, which takes a thread-local slot per load of the DLL.
    Scenario scenario;
    ParseState state;
    const std::vector<size_t>& openLoops = state.openLoops;
    // Line number and text of each open loop, for the error of a missing end.
    std::vector<std::pair<size_t, std::string>> openLoopLines;
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        const std::vector<std::string> tokens = Words(raw.substr(0, raw.find('#')));
        if (tokens.empty()) continue;
        const size_t loopsBefore = openLoops.size();
        if (!ParseLine(tokens, scenario, state)) {
            scenario.errorLine = number;
            scenario.errorText = raw;
            return scenario;
        }
        if (openLoops.size() > loopsBefore) openLoopLines.emplace_back(number, raw);
        if (openLoops.size() < loopsBefore) openLoopLines.pop_back();
    }
    if (!openLoops.empty()) {
        // A loop without its end is reported at the loop line.
        scenario.errorLine = openLoopLines.back().first;
        scenario.errorText = openLoopLines.back().second;
    }
    scenario.system = state.style == Style::System;
    // A simulated system plays in real time unless told otherwise.
    if (scenario.system && !state.pacingGiven) scenario.pacing = Pacing::Realtime;
    return scenario;
}

const Step* Cursor::Peek() {
    const std::vector<Directive>& program = *program_;
    while (index_ < program.size()) {
        const Directive& line = program[index_];
        switch (line.kind) {
        case Directive::Kind::Step:
            if (repeatsDone_ < line.count) return &line.step;
            ++index_;
            repeatsDone_ = 0;
            break;
        case Directive::Kind::LoopBegin:
            if (line.count == 0 || line.partner == index_ + 1) {
                index_ = line.partner + 1;  // nothing to repeat
            } else {
                loops_.push_back(OpenLoop{index_, line.count});
                ++index_;
            }
            break;
        case Directive::Kind::LoopEnd:
            if (--loops_.back().left > 0) {
                index_ = loops_.back().begin + 1;
            } else {
                loops_.pop_back();
                ++index_;
            }
            break;
        }
    }
    return nullptr;
}
