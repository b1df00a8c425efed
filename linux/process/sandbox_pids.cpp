#include "linux/process/sandbox_pids.h"

#include <dirent.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "linux/process/proc_records.h"

namespace {

std::optional<uint32_t> ParseDecimal(std::string_view text) {
    uint32_t number = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || stop != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return number;
}

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool RunsBinary(const std::string& procRoot, uint32_t pid, const std::string& binary) {
    if (binary.empty()) return true;
    const std::optional<std::string> path = ExecutablePath(procRoot, pid);
    return path && FileNameOf(*path) == binary;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::optional<std::vector<uint32_t>> ParseNsPids(std::string_view value) {
    std::vector<uint32_t> pids;
    while (true) {
        value = Trimmed(value);
        if (value.empty()) break;
        const size_t end = value.find_first_of(" \t");
        const std::optional<uint32_t> pid = ParseDecimal(value.substr(0, end));
        if (!pid) return std::nullopt;
        pids.push_back(*pid);
        if (end == std::string_view::npos) break;
        value.remove_prefix(end);
    }
    if (pids.empty()) return std::nullopt;
    return pids;
}

std::optional<std::vector<uint32_t>> ReadNsPids(const std::string& procRoot, uint32_t pid) {
    std::ifstream status(procRoot + "/" + std::to_string(pid) + "/status");
    std::string line;
    constexpr std::string_view kKey = "NSpid:";
    while (std::getline(status, line)) {
        if (std::string_view(line).substr(0, kKey.size()) == kKey) {
            return ParseNsPids(std::string_view(line).substr(kKey.size()));
        }
    }
    return std::nullopt;
}

std::string FlatpakAppIdOf(std::string_view flatpakInfo) {
    bool inApplication = false;
    while (!flatpakInfo.empty()) {
        const size_t end = flatpakInfo.find('\n');
        const std::string_view line = Trimmed(flatpakInfo.substr(0, end));
        flatpakInfo.remove_prefix(end == std::string_view::npos ? flatpakInfo.size() : end + 1);
        if (!line.empty() && line.front() == '[') {
            inApplication = line == "[Application]";
        } else if (inApplication) {
            const size_t equals = line.find('=');
            if (equals != std::string_view::npos && Trimmed(line.substr(0, equals)) == "name") {
                return std::string(Trimmed(line.substr(equals + 1)));
            }
        }
    }
    return {};
}

std::string FlatpakAppIdOfProcess(const std::string& procRoot, uint32_t pid) {
    std::ifstream file(procRoot + "/" + std::to_string(pid) + "/root/.flatpak-info");
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return FlatpakAppIdOf(text.str());
}

std::optional<uint32_t> ResolvePidClaim(const std::string& procRoot, const PidClaim& claim) {
    if (claim.pid == 0) return std::nullopt;
    if (claim.flatpakAppId.empty() && ReadNsPids(procRoot, claim.pid) &&
        RunsBinary(procRoot, claim.pid, claim.binary)) {
        return claim.pid;
    }
    const std::unique_ptr<DIR, DirCloser> dir(opendir(procRoot.c_str()));
    if (!dir) return std::nullopt;
    std::optional<uint32_t> found;
    while (const dirent* entry = readdir(dir.get())) {
        const std::optional<uint32_t> pid = ParseDecimal(entry->d_name);
        if (!pid) continue;
        const std::optional<std::vector<uint32_t>> nsPids = ReadNsPids(procRoot, *pid);
        if (!nsPids || nsPids->size() < 2 || nsPids->back() != claim.pid) continue;
        if (!RunsBinary(procRoot, *pid, claim.binary)) continue;
        // The bridge names the application of every Flatpak client: a claim
        // without one is not from a Flatpak sandbox.
        if (FlatpakAppIdOfProcess(procRoot, *pid) != claim.flatpakAppId) continue;
        if (found) return std::nullopt;  // two candidates: it cannot be told which
        found = pid;
    }
    return found;
}
