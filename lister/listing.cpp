#include "lister/listing.h"

#include <cstdio>

#include "lister/root.h"

namespace {

const char* StateWord(bool active) {
    return active ? "active" : "inactive";
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

// A JSON string literal of UTF-16 text; characters outside ASCII become
// \uXXXX escapes, pairs of surrogates as two escapes.
std::string JsonString(const std::wstring& text) {
    std::string json = "\"";
    for (const wchar_t unit : text) {
        if (unit == L'"' || unit == L'\\') {
            json += '\\';
            json += static_cast<char>(unit);
        } else if (unit < 0x20 || unit > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
            json += escape;
        } else {
            json += static_cast<char>(unit);
        }
    }
    return json + "\"";
}

// Columns of the table: PID, ROOT and STATE are padded to these widths and
// followed by one space, so a wider value still stays apart from the next.
constexpr int kPidWidth = 6;
constexpr int kStateWidth = 9;

std::string Columns(const std::string& pid, const std::string& root, const std::string& state,
                    const std::string& name) {
    char columns[64];
    std::snprintf(columns, sizeof columns, "%-*s %-*s %-*s ", kPidWidth, pid.c_str(), kPidWidth,
                  root.c_str(), kStateWidth, state.c_str());
    return columns + name;
}

}  // namespace

std::vector<ListedProcess> BuildListing(const std::vector<SessionOwner>& owners,
                                        const ProcessTable& table) {
    std::vector<ListedProcess> listing;
    for (const SessionOwner& owner : owners) {
        const ProcessRecord* process = FindProcess(table, owner.pid);
        if (process == nullptr) continue;
        listing.push_back(
            ListedProcess{owner.pid, FindRoot(table, owner.pid), owner.active, process->name});
    }
    return listing;
}

std::string TableHeader() {
    return Columns("PID", "ROOT", "STATE", "NAME");
}

std::string TableRow(const ListedProcess& process) {
    return Columns(std::to_string(process.pid), std::to_string(process.root),
                   StateWord(process.active), Utf8(process.name));
}

std::string JsonLine(const ListedProcess& process) {
    return "{\"pid\":" + std::to_string(process.pid) + ",\"root\":" + std::to_string(process.root) +
           ",\"state\":\"" + StateWord(process.active) + "\",\"name\":" + JsonString(process.name) +
           "}";
}
