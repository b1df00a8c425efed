// The processes of one tree as they are seen while a capture runs. A process
// seen in the tree stays in it when a parent on the way exits (a launcher,
// `nohup`, `setsid -f`), as on the platform whose process trees Harkwell's
// interface follows, and so do the children it has later. Each member is kept
// with its start time, so that a pid the system hands to a new process after
// a member exits does not join the tree.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "linux/process/proc_records.h"

// What the tracker reads of the process table; normally /proc.
struct ProcessTable {
    // A process's parent and start time; nothing when it has gone.
    std::function<std::optional<StatFields>(uint32_t pid)> stat;
    // A process's children, from every one of its threads.
    std::function<std::vector<uint32_t>(uint32_t pid)> children;
    // The pid the system handed out last; nothing when it cannot be told.
    std::function<std::optional<uint32_t>()> lastCreatedPid;
};

// The table under procRoot ("/proc" normally): <pid>/stat,
// <pid>/task/<tid>/children and loadavg's last field.
ProcessTable ProcProcessTable(std::string procRoot);

class ProcessTreeTracker {
public:
    // The tree of root as it is now.
    ProcessTreeTracker(uint32_t root, ProcessTable table);

    // Adds the processes created since the last look under any member.
    // Cheap when no process was created since (the system's last pid has not
    // moved): nothing more is read. When a few were, only their records are
    // read (pids are handed out in order); when many were, or the pids
    // wrapped around, the children of every member are read instead, and
    // members that have gone are dropped.
    void Refresh();

    // Whether pid is in the tree: a member, or a process whose parents lead
    // to a member or to the root (it and those parents then become members).
    bool Contains(uint32_t pid);

    size_t MemberCount() const { return members_.size(); }

private:
    // Whether the member's pid still belongs to the process that was seen.
    bool StillMember(uint32_t pid, const std::optional<StatFields>& stat) const;
    void AddChildrenOf(uint32_t pid);
    // Reads the records of the pids first..last, in the order they were
    // handed out: each process whose parent is a member joins.
    void AddNewProcesses(uint32_t first, uint32_t last);
    void AddChildrenOfMembers();

    // New pids up to which reading their records beats reading the
    // members' children, for a tree of few members.
    static constexpr uint32_t kFewestNewPidsWorthReading = 32;

    uint32_t root_;
    ProcessTable table_;
    // Members by pid, with their start times (nothing when the record had none).
    std::map<uint32_t, std::optional<uint64_t>> members_;
    std::optional<uint32_t> lastSeenPid_;
    // The root could not be read at the start: it is then known by its pid
    // alone, as a walk through parents knows it.
    bool rootByPidOnly_ = false;
};
