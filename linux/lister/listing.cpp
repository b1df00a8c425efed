#include "linux/lister/listing.h"

#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "common/process_root.h"
#include "linux/process/process_tree.h"

namespace {

bool SameImage(const std::string& a, const std::string& b) {
    return a == b;
}

}  // namespace

ProcessRecordLookup CachedProcRecords(std::string procRoot) {
    auto cache = std::make_shared<std::map<uint32_t, std::optional<ProcessRecord>>>();
    return [root = std::move(procRoot), cache](uint32_t pid) -> const ProcessRecord* {
        auto found = cache->find(pid);
        if (found == cache->end()) found = cache->emplace(pid, ReadProcessRecord(root, pid)).first;
        return found->second ? &*found->second : nullptr;
    };
}

std::vector<ListedProcess> BuildListing(const std::vector<PlaybackStream>& streams,
                                        const ProcessRecordLookup& findProcess) {
    std::map<uint32_t, ListedProcess> byPid;
    for (const PlaybackStream& stream : streams) {
        if (!stream.owner) continue;
        const ProcessRecord* process = findProcess(*stream.owner);
        if (process == nullptr) continue;
        auto [entry, added] = byPid.try_emplace(*stream.owner);
        ListedProcess& row = entry->second;
        if (added) {
            row.pid = *stream.owner;
            row.root = FindRootBy(row.pid, kMaxTreeWalkSteps, findProcess, &SameImage);
            row.name = process->name;
        }
        row.active = row.active || stream.playing;
        if (row.application.empty()) row.application = stream.application;
    }
    std::vector<ListedProcess> listing;
    for (auto& entry : byPid)
        listing.push_back(std::move(entry.second));
    return listing;
}
