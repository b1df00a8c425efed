#include "linux/pipewire/stream_owner.h"

#include <charconv>
#include <cstring>

#include "linux/process/proc_records.h"

std::optional<uint32_t> StreamOwnerPid(const StreamOwnerFacts& facts,
                                       const PidClaimResolver& resolveClaim) {
    const bool throughBridge =
        facts.clientSocketPid && facts.socketPidRunsPipeWire && facts.fromPulseBridge;
    // A node with no client the registry showed us: only its own word is left.
    const bool onlyClaim = !facts.clientSocketPid;
    if ((throughBridge || onlyClaim) && facts.claimedPid) {
        return resolveClaim(PidClaim{*facts.claimedPid, facts.claimedBinary, facts.flatpakAppId});
    }
    return facts.clientSocketPid;
}

bool RunsPipeWire(const std::string& procRoot, uint32_t pid) {
    const std::optional<std::string> path = ExecutablePath(procRoot, pid);
    if (!path) return false;
    const std::string_view name = FileNameOf(*path);
    // The bridge is the pipewire executable, started through a link named
    // after the bridge; a system may install either name.
    return name == "pipewire" || name == "pipewire-pulse";
}

std::optional<uint32_t> ParseNumberProperty(const char* value) {
    if (value == nullptr) return std::nullopt;
    const char* end = value + std::strlen(value);
    uint32_t number = 0;
    const auto [stop, error] = std::from_chars(value, end, number);
    if (error != std::errc() || stop != end || stop == value) return std::nullopt;
    return number;
}

std::optional<uint32_t> ParsePidProperty(const char* value) {
    const std::optional<uint32_t> pid = ParseNumberProperty(value);
    if (pid == 0u) return std::nullopt;
    return pid;
}
