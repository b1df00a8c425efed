#include "linux/process/process_tree.h"

#include <utility>

#include "linux/process/proc_records.h"

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
    for (size_t steps = 0; steps < kMaxTreeWalkSteps; ++steps) {
        if (current == 0) return false;
        if (current == root) return true;
        const std::optional<uint32_t> parent = parentOf(current);
        if (!parent || *parent == current) return false;
        current = *parent;
    }
    return false;
}
