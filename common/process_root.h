// The pid to pass to Harkwell's include mode for a process that plays: the
// topmost ancestor that runs the same executable. Both listers apply this rule
// to their own process records, which carry
//   pid, parentPid   the process and the parent the system names for it,
//   inspected        whether image and startTime below could be read,
//   image            the executable's full path,
//   startTime        when it started, in the system's own clock ticks.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether `parent`, named as the parent of `child`, is the one that started
// it and runs the same executable (as `sameImage` compares paths). Pids are
// reused: a process that started after the child cannot be its parent and
// does not count, and neither does one whose start time or executable could
// not be read. Clocks tick coarsely (15.6 ms on Windows, 10 ms on Linux), so a
// child started at once can share its parent's start time: that counts.
template <typename Record, typename SameImage>
bool IsSameExecutableParent(const Record& parent, const Record& child, SameImage sameImage) {
    if (!parent.inspected || !child.inspected || parent.pid == child.pid) return false;
    if (parent.startTime > child.startTime) return false;
    return sameImage(parent.image, child.image);
}

// Walks up from `pid` while the parent runs the same executable; a process of
// another executable ends the walk, even if its own parent runs this one.
// `find(pid)` gives a pointer to a process's record, or null when there is
// none: such a pid is its own root. Equal start times could let reused pids
// form a cycle, so the walk takes at most `maxSteps` steps.
template <typename FindRecord, typename SameImage>
uint32_t FindRootBy(uint32_t pid, size_t maxSteps, FindRecord find, SameImage sameImage) {
    const auto* current = find(pid);
    if (current == nullptr) return pid;
    for (size_t steps = 0; steps < maxSteps; ++steps) {
        const auto* parent = find(current->parentPid);
        if (parent == nullptr || !IsSameExecutableParent(*parent, *current, sameImage)) break;
        current = parent;
    }
    return current->pid;
}
