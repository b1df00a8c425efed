// Host pids of processes in sandboxes. A process in a pid namespace of its
// own (a Flatpak, bwrap or unshare sandbox) knows itself by the pid it has
// there; the kernel lists that pid, with the ones it has in every enclosing
// namespace, on the NSpid line of /proc/<pid>/status, the host's first and
// the innermost last.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The pids of an NSpid line's value ("4242\t3"), outermost first; nothing
// when it is not a list of numbers.
std::optional<std::vector<uint32_t>> ParseNsPids(std::string_view value);

// The NSpid line of <procRoot>/<pid>/status; nothing when it cannot be read.
std::optional<std::vector<uint32_t>> ReadNsPids(const std::string& procRoot, uint32_t pid);

// The application id in a .flatpak-info file's text: name= in [Application].
std::string FlatpakAppIdOf(std::string_view flatpakInfo);

// The Flatpak application id of a process, from <procRoot>/<pid>/root/.flatpak-info;
// empty when it has none or the file cannot be read.
std::string FlatpakAppIdOfProcess(const std::string& procRoot, uint32_t pid);

// What a client says of the process that plays: its pid (as that process
// sees it), its executable's file name and its Flatpak application id (both
// empty when not stated).
struct PidClaim {
    uint32_t pid = 0;
    std::string binary;
    std::string flatpakAppId;
};

// The host pid of the process a claim describes. The stated pid is believed
// when it is consistent with the host: no Flatpak id, and the process exists
// and runs the stated binary (or names none). Otherwise it is a pid inside a
// sandbox: the one host process whose innermost pid is the stated one and
// that runs the stated binary and carries the stated application id (or,
// for a claim without one, is in no Flatpak sandbox). Nothing
// when no such process, or more than one, is found.
std::optional<uint32_t> ResolvePidClaim(const std::string& procRoot, const PidClaim& claim);
