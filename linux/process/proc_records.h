// What /proc tells of a process: its stat record (parent and start time) and
// its executable. procRoot is normally "/proc"; tests give a folder of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct StatFields {
    // The command name as the kernel keeps it (at most 15 bytes).
    std::string command;
    uint32_t parent = 0;
    // Start time in clock ticks since boot (field 22), when the record has it.
    std::optional<uint64_t> startTime;
};

// The fields of a /proc/<pid>/stat record. The command name before the parent
// is in parentheses and may itself hold spaces and parentheses.
std::optional<StatFields> ParseStatRecord(std::string_view record);

// <procRoot>/<pid>/stat, whole; nothing when the process has gone (before
// or while its record is read). Never throws.
std::optional<std::string> ReadStatRecord(const std::string& procRoot, uint32_t pid);

// The path of the executable the process runs, as the kernel reports it
// through <procRoot>/<pid>/exe, without the " (deleted)" the kernel adds when
// the file has been replaced since (an upgrade). Nothing when it cannot be
// read: the process has gone, or belongs to another user.
std::optional<std::string> ExecutablePath(const std::string& procRoot, uint32_t pid);

// The last component of a path.
std::string_view FileNameOf(std::string_view path);

// A process as the listers see it (the fields the root rule reads).
struct ProcessRecord {
    uint32_t pid = 0;
    uint32_t parentPid = 0;
    // The executable's file name, or the kernel's command name when the
    // executable cannot be read.
    std::string name;
    // False when the executable or the start time could not be read: image
    // and startTime below are then unknown.
    bool inspected = false;
    std::string image;
    uint64_t startTime = 0;
};

// Nothing when the process has gone.
std::optional<ProcessRecord> ReadProcessRecord(const std::string& procRoot, uint32_t pid);
