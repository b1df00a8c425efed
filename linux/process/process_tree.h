// Membership of a process tree: a process and all its descendants, found by
// walking from a process up through its parents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The most steps a walk up through parents takes: far deeper than any real
// process tree, it ends a walk that stale records or reused pids have turned
// into a loop.
inline constexpr size_t kMaxTreeWalkSteps = 4096;

// The parent of a process, or nothing when it cannot be told (the process
// has gone, or its record cannot be read).
using ParentLookup = std::function<std::optional<uint32_t>(uint32_t pid)>;

// The parent field of a /proc/<pid>/stat record. The command name before it
// is in parentheses and may itself hold spaces and parentheses.
std::optional<uint32_t> ParentFromStatRecord(std::string_view record);

// Parents read from <procRoot>/<pid>/stat; procRoot is normally "/proc".
ParentLookup ProcParentLookup(std::string procRoot);

// Whether pid is root or one of its descendants. Process 0 is no process:
// it belongs to no tree, and the walk stops when it reaches it.
bool IsInProcessTree(uint32_t pid, uint32_t root, const ParentLookup& parentOf);
