// The pid to pass to Harkwell's include mode for a process: the topmost
// ancestor that runs the same executable.
#pragma once

#include <windows.h>

#include "lister/process_table.h"

// Whether `parent`, named as the parent of `child`, is the one that started
// it and runs the same executable. Pids are reused: a process that started
// after the child cannot be its parent and does not count, and neither does
// one whose start time or executable could not be read.
bool IsSameExecutableParent(const ProcessRecord& parent, const ProcessRecord& child);

// Walks up from `pid` while the parent runs the same executable; a process of
// another executable ends the walk, even if its own parent runs this one.
// A pid missing from the table is its own root.
DWORD FindRoot(const ProcessTable& table, DWORD pid);
