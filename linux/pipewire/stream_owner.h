// Which process plays a stream.
//
// A native client's stream belongs to the process at the other end of the
// client's socket: the server records it as the client's pipewire.sec.pid,
// taken from the kernel, so a client cannot claim another process's streams.
// Streams of PulseAudio-protocol players arrive through the PulseAudio bridge
// of PipeWire instead, a client whose socket pid is the bridge itself; there
// application.process.id (on the bridge's client for the player, and on the
// stream's node) names the player. That property is the player's own claim,
// so it is believed only when the kernel confirms that the client's socket
// leads to the PipeWire program and the client says it is the bridge's, and
// then only once it is found consistent with the host (a player in a sandbox
// states its pid in its own pid namespace; see sandbox_pids.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "linux/process/sandbox_pids.h"

// The value of client.api on nodes the PulseAudio bridge creates.
inline constexpr std::string_view kPulseBridgeApi = "pipewire-pulse";

struct StreamOwnerFacts {
    // pipewire.sec.pid of the node's client, when the client is known.
    std::optional<uint32_t> clientSocketPid;
    // Whether the process at clientSocketPid runs the PipeWire program (the
    // bridge is PipeWire started under another name).
    bool socketPidRunsPipeWire = false;
    // client.api is kPulseBridgeApi (on the client or the node).
    bool fromPulseBridge = false;
    // application.process.id (of the client or the node), when a number.
    std::optional<uint32_t> claimedPid;
    // application.process.binary and pipewire.access.portal.app_id (of the
    // client or the node), empty when not stated.
    std::string claimedBinary;
    std::string flatpakAppId;
};

// The host pid a claim stands for (ResolvePidClaim on /proc, normally).
using PidClaimResolver = std::function<std::optional<uint32_t>(const PidClaim&)>;

// The process that plays the stream, or nothing when it cannot be told.
std::optional<uint32_t> StreamOwnerPid(const StreamOwnerFacts& facts,
                                       const PidClaimResolver& resolveClaim);

// Whether the executable of process pid, as the kernel reports it through
// <procRoot>/<pid>/exe, is the PipeWire program. False when it cannot be read.
bool RunsPipeWire(const std::string& procRoot, uint32_t pid);

// A property value that is a decimal 32-bit number (an object id); nothing
// for anything else.
std::optional<uint32_t> ParseNumberProperty(const char* value);

// A property value that is a process id: a number other than 0.
std::optional<uint32_t> ParsePidProperty(const char* value);
