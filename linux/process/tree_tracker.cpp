#include "linux/process/tree_tracker.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "linux/process/process_tree.h"

namespace {

// A small file of /proc, whole; empty when it cannot be read (a process that
// exits while it is read makes the read fail with ESRCH).
std::string ReadSmallFile(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(count));
    close(fd);
    return text;
}

// The numbers in a space-separated list.
std::vector<uint32_t> Numbers(const std::string& text) {
    std::vector<uint32_t> numbers;
    const char* next = text.c_str();
    char* end = nullptr;
    for (unsigned long value = std::strtoul(next, &end, 10); end != next;
         value = std::strtoul(next, &end, 10)) {
        numbers.push_back(static_cast<uint32_t>(value));
        next = end;
    }
    return numbers;
}

// A file of /proc kept open and read again from its start on each call:
// one system call a look instead of an open, reads and a close.
class ReopenedProcFile {
public:
    explicit ReopenedProcFile(const std::string& path)
        : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~ReopenedProcFile() {
        if (fd_ >= 0) close(fd_);
    }
    ReopenedProcFile(const ReopenedProcFile&) = delete;
    ReopenedProcFile& operator=(const ReopenedProcFile&) = delete;

    // Its whole text now (up to 255 bytes); empty when it cannot be read.
    std::string Read() const {
        char buffer[256];
        const ssize_t count = fd_ < 0 ? -1 : pread(fd_, buffer, sizeof buffer, 0);
        return count > 0 ? std::string(buffer, static_cast<size_t>(count)) : std::string();
    }

private:
    int fd_;
};

std::vector<uint32_t> ReadChildren(const std::string& procRoot, uint32_t pid) {
    std::vector<uint32_t> children;
    std::error_code error;
    const std::filesystem::path tasks = procRoot + "/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        for (uint32_t child : Numbers(ReadSmallFile(task.path() / "children")))
            children.push_back(child);
    }
    return children;
}

}  // namespace

ProcessTable ProcProcessTable(std::string procRoot) {
    ProcessTable table;
    table.stat = [procRoot](uint32_t pid) -> std::optional<StatFields> {
        const std::string record = ReadSmallFile(procRoot + "/" + std::to_string(pid) + "/stat");
        if (record.empty()) return std::nullopt;
        return ParseStatRecord(record);
    };
    table.children = [procRoot](uint32_t pid) { return ReadChildren(procRoot, pid); };
    // loadavg ends with "running/total last-pid".
    auto loadavg = std::make_shared<const ReopenedProcFile>(procRoot + "/loadavg");
    table.lastCreatedPid = [loadavg]() -> std::optional<uint32_t> {
        const std::string text = loadavg->Read();
        const size_t space = text.find_last_of(' ');
        if (space == std::string::npos) return std::nullopt;
        const std::vector<uint32_t> last = Numbers(text.substr(space + 1));
        if (last.empty()) return std::nullopt;
        return last.front();
    };
    return table;
}

ProcessTreeTracker::ProcessTreeTracker(uint32_t root, ProcessTable table)
    : root_(root), table_(std::move(table)) {
    if (const std::optional<StatFields> stat = table_.stat(root_)) {
        members_[root_] = stat->startTime;
        lastSeenPid_ = table_.lastCreatedPid();
        AddChildrenOf(root_);
    } else {
        rootByPidOnly_ = true;
    }
}

void ProcessTreeTracker::Refresh() {
    const std::optional<uint32_t> last = table_.lastCreatedPid();
    if (last && last == lastSeenPid_) return;
    const std::optional<uint32_t> previous = std::exchange(lastSeenPid_, last);
    // Reading the members' children costs a few reads per member (its
    // record, its threads, each thread's list); a new pid costs one.
    const uint32_t worthReading =
        std::max<uint32_t>(kFewestNewPidsWorthReading, static_cast<uint32_t>(4 * members_.size()));
    if (last && previous && *last > *previous && *last - *previous <= worthReading) {
        AddNewProcesses(*previous + 1, *last);
    } else {
        AddChildrenOfMembers();
    }
}

void ProcessTreeTracker::AddNewProcesses(uint32_t first, uint32_t last) {
    for (uint32_t pid = first; pid - first <= last - first; ++pid) {
        if (members_.count(pid) != 0) continue;
        // A thread's record names its process's parent, so a thread of a
        // member's child joins too: harmless, as no stream is a thread's,
        // and its start time keeps its id from passing to another process.
        const std::optional<StatFields> stat = table_.stat(pid);
        if (!stat) continue;  // gone already
        const auto parent = members_.find(stat->parent);
        if (parent == members_.end()) continue;
        // The parent's pid may belong to another process by now.
        if (!StillMember(stat->parent, table_.stat(stat->parent))) {
            members_.erase(parent);
            continue;
        }
        members_[pid] = stat->startTime;
    }
}

void ProcessTreeTracker::AddChildrenOfMembers() {
    for (auto member = members_.begin(); member != members_.end();) {
        member = StillMember(member->first, table_.stat(member->first)) ? std::next(member)
                                                                        : members_.erase(member);
    }
    std::vector<uint32_t> known;
    for (const auto& member : members_)
        known.push_back(member.first);
    for (uint32_t pid : known)
        AddChildrenOf(pid);
}

bool ProcessTreeTracker::Contains(uint32_t pid) {
    std::vector<std::pair<uint32_t, std::optional<uint64_t>>> path;
    uint32_t current = pid;
    for (size_t steps = 0; steps < kMaxTreeWalkSteps && current != 0; ++steps) {
        const std::optional<StatFields> stat = table_.stat(current);
        const auto member = members_.find(current);
        if (member != members_.end()) {
            if (StillMember(current, stat)) break;
            members_.erase(member);  // its pid now belongs to someone else
        }
        if (current == root_ && rootByPidOnly_) break;
        if (!stat || stat->parent == current) return false;
        path.emplace_back(current, stat->startTime);
        current = stat->parent;
    }
    const bool reached = members_.count(current) != 0 || (current == root_ && rootByPidOnly_);
    if (current == 0 || !reached) return false;
    for (const auto& [walked, startTime] : path)
        members_[walked] = startTime;
    return true;
}

bool ProcessTreeTracker::StillMember(uint32_t pid, const std::optional<StatFields>& stat) const {
    const auto member = members_.find(pid);
    return member != members_.end() && stat && stat->startTime == member->second;
}

void ProcessTreeTracker::AddChildrenOf(uint32_t pid) {
    std::vector<uint32_t> pending = {pid};
    while (!pending.empty()) {
        const uint32_t parent = pending.back();
        pending.pop_back();
        for (uint32_t child : table_.children(parent)) {
            if (members_.count(child) != 0) continue;
            const std::optional<StatFields> stat = table_.stat(child);
            // Gone already, or no longer this member's child (the list is a
            // moment old).
            if (!stat || stat->parent != parent) continue;
            members_[child] = stat->startTime;
            pending.push_back(child);
        }
    }
}
