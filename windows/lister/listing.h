// The rows Harkwell-list.exe prints: one per session owner, named from the
// process table.
#pragma once

#include <vector>

#include "common/process_listing.h"
#include "windows/lister/audio_sessions.h"
#include "windows/lister/process_table.h"

// One row per session owner still in the process table, in the owners'
// order. An owner that has exited since its session was read has no row: its
// pid no longer names anything to capture, or names a newer process. Pid 0
// (the idle process, which real snapshots list) never has a row.
std::vector<ListedProcess> BuildListing(const std::vector<SessionOwner>& owners,
                                        const ProcessTable& table);
