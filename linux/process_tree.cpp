#include "linux/process_tree.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <utility>

namespace {

// Far deeper than any real process tree; stops a walk that a stale or
// inconsistent record has turned into a loop.
constexpr int kMaxTreeDepth = 4096;

}  // namespace

std::optional<uint32_t> ParentFromStatRecord(std::string_view record) {
    // "<pid> (<comm>) <state> <ppid> ...": the name ends at the last ')'.
    const size_t nameEnd = record.rfind(')');
    if (nameEnd == std::string_view::npos) return std::nullopt;
    std::string_view rest = record.substr(nameEnd + 1);
    // Skip " <state> " to reach the parent field.
    const size_t stateStart = rest.find_first_not_of(' ');
    if (stateStart == std::string_view::npos) return std::nullopt;
    const size_t stateEnd = rest.find(' ', stateStart);
    if (stateEnd == std::string_view::npos) return std::nullopt;
    rest = rest.substr(stateEnd + 1);

    uint32_t parent = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
    if (error != std::errc() || end == rest.data()) return std::nullopt;
    if (end != rest.data() + rest.size() && *end != ' ') return std::nullopt;
    return parent;
}

ParentLookup ProcParentLookup(std::string procRoot) {
    return [root = std::move(procRoot)](uint32_t pid) -> std::optional<uint32_t> {
        std::ifstream file(root + "/" + std::to_string(pid) + "/stat");
        if (!file) return std::nullopt;
        const std::string record{std::istreambuf_iterator<char>(file),
                                 std::istreambuf_iterator<char>()};
        return ParentFromStatRecord(record);
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
