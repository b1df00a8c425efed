// The pid to pass to Harkwell's include mode for a process, by the rule both
// listers share, over a snapshot of the process table.
#pragma once

#include <windows.h>

#include "windows/lister/process_table.h"

// The topmost ancestor of `pid` that runs the same executable; paths compare
// without regard to case. A pid missing from the table is its own root.
DWORD FindRoot(const ProcessTable& table, DWORD pid);
