// The rows harkwell-list prints: one per process that plays, named and
// rooted from /proc.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/process_listing.h"
#include "linux/lister/playback_streams.h"
#include "linux/process/proc_records.h"

// A process's record, or null when it has gone. The pointer stays valid for
// as long as the lookup's owner lives.
using ProcessRecordLookup = std::function<const ProcessRecord*(uint32_t pid)>;

// Records read from <procRoot>/<pid>, each at most once.
ProcessRecordLookup CachedProcRecords(std::string procRoot);

// One row per process that plays a stream, in ascending pid order; a process
// with several streams is active when any of them plays, and its application
// is the one the first stream (in the graph's order) states. Streams whose
// player cannot be told, and players that have exited since, have no row.
std::vector<ListedProcess> BuildListing(const std::vector<PlaybackStream>& streams,
                                        const ProcessRecordLookup& findProcess);
