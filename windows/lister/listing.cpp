#include "windows/lister/listing.h"

#include "windows/lister/root.h"

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

}  // namespace

std::vector<ListedProcess> BuildListing(const std::vector<SessionOwner>& owners,
                                        const ProcessTable& table) {
    std::vector<ListedProcess> listing;
    for (const SessionOwner& owner : owners) {
        // Pid 0 is the system's idle process, not a program that plays: the
        // system-sounds session reports it, and a lister started as a
        // service sees only that. It is never a row, whatever the session
        // says of itself.
        if (owner.pid == 0) continue;
        const ProcessRecord* process = FindProcess(table, owner.pid);
        if (process == nullptr) continue;
        ListedProcess row;
        row.pid = owner.pid;
        row.root = FindRoot(table, owner.pid);
        row.active = owner.active;
        row.name = Utf8(process->name);
        listing.push_back(std::move(row));
    }
    return listing;
}
