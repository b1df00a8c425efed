#include "linux/stream_owner.h"

#include <unistd.h>

#include <charconv>
#include <cstring>

std::optional<uint32_t> StreamOwnerPid(const StreamOwnerFacts& facts) {
    const bool throughBridge =
        facts.clientSocketPid && facts.socketPidRunsPipeWire && facts.fromPulseBridge;
    if (throughBridge && facts.claimedPid) return facts.claimedPid;
    if (facts.clientSocketPid) return facts.clientSocketPid;
    // A node with no client the registry showed us: only its own word is left.
    return facts.claimedPid;
}

bool RunsPipeWire(const std::string& procRoot, uint32_t pid) {
    const std::string link = procRoot + "/" + std::to_string(pid) + "/exe";
    char target[4096];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return false;
    std::string_view path(target, static_cast<size_t>(length));
    // An executable replaced on disk since the process started (an upgrade).
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted) {
        path.remove_suffix(kDeleted.size());
    }
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
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
