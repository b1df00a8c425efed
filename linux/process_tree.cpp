#include "linux/process_tree.h"

#include <utility>

#include "linux/proc_records.h"

namespace {

// Far deeper than any real process tree; stops a walk that a stale or
// inconsistent record has turned into a loop.
constexpr int kMaxTreeDepth = 4096;

}  // namespace

std::optional<uint32_t> ParentFromStatRecord(std::string_view record) {
    const std::optional<StatFields> stat = ParseStatRecord(record);
    if (!stat) return std::nullopt;
    return stat->parent;
}

ParentLookup ProcParentLookup(std::string procRoot) {
    return [root = std::move(procRoot)](uint32_t pid) -> std::optional<uint32_t> {
        const std::optional<std::string> record = ReadStatRecord(root, pid);
        if (!record) return std::nullopt;
        return ParentFromStatRecord(*record);
    };
}

bool IsInProcessTree(uint32_t pid, uint32_t root, const ParentLookup& parentOf) {
    uint32_t current = pid;
    for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
        if (current == 0) return false;
        if (current == root) return true;
        const std::optional<uint32_t> parent = parentOf(current);
        if (!parent || *parent == current) return false;
        current = *parent;
    }
    return false;
}
