#include "linux/process/proc_records.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace {

// The unsigned decimal number that `text` starts with, up to a space or its
// end; nothing for anything else.
template <typename Number>
std::optional<Number> LeadingNumber(std::string_view text) {
    Number number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    if (end != text.data() + text.size() && *end != ' ') return std::nullopt;
    return number;
}

// The field after the current one, or an empty view at the record's end.
std::string_view NextField(std::string_view fields) {
    const size_t space = fields.find(' ');
    return space == std::string_view::npos ? std::string_view() : fields.substr(space + 1);
}

// Fields after the command name, counting its state as the first: the
// parent is the 2nd and the start time the 20th (fields 4 and 22 of the
// whole record).
constexpr int kParentField = 2;
constexpr int kStartTimeField = 20;

}  // namespace

std::optional<StatFields> ParseStatRecord(std::string_view record) {
    // "<pid> (<comm>) <state> <ppid> ...": the name ends at the last ')'.
    const size_t nameStart = record.find('(');
    const size_t nameEnd = record.rfind(')');
    if (nameStart == std::string_view::npos || nameEnd == std::string_view::npos ||
        nameEnd < nameStart) {
        return std::nullopt;
    }
    std::string_view fields = record.substr(nameEnd + 1);
    const size_t stateStart = fields.find_first_not_of(' ');
    if (stateStart == std::string_view::npos) return std::nullopt;
    fields = fields.substr(stateStart);

    StatFields stat;
    stat.command = std::string(record.substr(nameStart + 1, nameEnd - nameStart - 1));
    for (int field = 1; field < kParentField; ++field)
        fields = NextField(fields);
    const std::optional<uint32_t> parent = LeadingNumber<uint32_t>(fields);
    if (!parent) return std::nullopt;
    stat.parent = *parent;
    for (int field = kParentField; field < kStartTimeField; ++field)
        fields = NextField(fields);
    stat.startTime = LeadingNumber<uint64_t>(fields);
    return stat;
}

std::optional<std::string> ReadStatRecord(const std::string& procRoot, uint32_t pid) {
    // Plain read(2): a process that exits while its record is read makes the
    // read fail (ESRCH), and a stream library may throw for that (libstdc++'s
    // file buffer does for any failed read).
    const std::string path = procRoot + "/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string record;
    char buffer[1024];
    for (;;) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count > 0) {
            record.append(buffer, static_cast<size_t>(count));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            close(fd);
            // A failed read: the process has gone.
            if (count < 0) return std::nullopt;
            return record;
        }
    }
}

std::optional<std::string> ExecutablePath(const std::string& procRoot, uint32_t pid) {
    const std::string link = procRoot + "/" + std::to_string(pid) + "/exe";
    char target[4096];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return std::nullopt;
    std::string path(target, static_cast<size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        std::string_view(path).substr(path.size() - kDeleted.size()) == kDeleted) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

std::string_view FileNameOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::optional<ProcessRecord> ReadProcessRecord(const std::string& procRoot, uint32_t pid) {
    const std::optional<std::string> record = ReadStatRecord(procRoot, pid);
    if (!record) return std::nullopt;
    const std::optional<StatFields> stat = ParseStatRecord(*record);
    if (!stat) return std::nullopt;
    ProcessRecord process;
    process.pid = pid;
    process.parentPid = stat->parent;
    process.name = stat->command;
    if (const std::optional<std::string> image = ExecutablePath(procRoot, pid)) {
        process.name = std::string(FileNameOf(*image));
        process.image = *image;
        process.inspected = stat->startTime.has_value();
        process.startTime = stat->startTime.value_or(0);
    }
    return process;
}
