#include "lister/root.h"

bool IsSameExecutableParent(const ProcessRecord& parent, const ProcessRecord& child) {
    if (!parent.inspected || !child.inspected || parent.pid == child.pid) return false;
    // Creation times tick coarsely (every 15.6 ms on a default Windows
    // timer), so a child started at once can share its parent's time: only a
    // parent that started strictly later is a reused pid.
    if (parent.startTime > child.startTime) return false;
    return CompareStringOrdinal(parent.image.c_str(), static_cast<int>(parent.image.size()),
                                child.image.c_str(), static_cast<int>(child.image.size()),
                                TRUE) == CSTR_EQUAL;
}

DWORD FindRoot(const ProcessTable& table, DWORD pid) {
    const ProcessRecord* current = FindProcess(table, pid);
    if (current == nullptr) return pid;
    // Equal start times could let reused pids form a cycle: the walk takes at
    // most one step per process.
    for (size_t steps = 0; steps < table.size(); ++steps) {
        const ProcessRecord* parent = FindProcess(table, current->parentPid);
        if (parent == nullptr || !IsSameExecutableParent(*parent, *current)) break;
        current = parent;
    }
    return current->pid;
}
