#include "common/process_listing.h"

namespace {

const char* StateWord(bool active) {
    return active ? "active" : "inactive";
}

// Columns of the table, padded to these widths.
constexpr int kPidWidth = 6;
constexpr int kStateWidth = 9;
// Long enough for the names Linux keeps for a process (15 bytes).
constexpr int kNameWidth = 15;

std::string Padded(std::string text, int width) {
    if (text.size() < static_cast<size_t>(width)) text.resize(static_cast<size_t>(width), ' ');
    return text + ' ';
}

// The code point of the UTF-8 sequence at text[at], stepping `at` past it.
// A byte that does not start a well-formed sequence (overlong forms,
// surrogates and values past U+10FFFF included) is U+FFFD on its own.
uint32_t NextCodePoint(const std::string& text, size_t& at) {
    constexpr uint32_t kReplacement = 0xFFFD;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    // The sequence's length, the lead byte's bits, and the least code point
    // that needs this length (anything less is an overlong form).
    size_t length = 0;
    uint32_t point = 0;
    uint32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
        least = 0x10000;
    } else {
        ++at;
        return kReplacement;
    }
    if (at + length > text.size()) {
        ++at;
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) {
            ++at;
            return kReplacement;
        }
        point = (point << 6) | (byte(at + i) & 0x3Fu);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        ++at;
        return kReplacement;
    }
    at += length;
    return point;
}

// C0 and C1 control characters and DEL: a terminal may act on them.
bool IsControl(uint32_t point) {
    return point < 0x20 || (point >= 0x7F && point <= 0x9F);
}

// The text with each control character and each byte that is not well-formed
// UTF-8 shown as '?', so that no name can send escapes to a terminal.
std::string Printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        const uint32_t point = NextCodePoint(text, at);
        const bool malformed = point == 0xFFFD && at - start == 1;
        if (IsControl(point) || malformed) {
            shown += '?';
        } else {
            shown.append(text, start, at - start);
        }
    }
    return shown;
}

void AppendUnitEscape(std::string& json, uint32_t unit) {
    char escape[16];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
    json += escape;
}

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (size_t at = 0; at < text.size();) {
        const uint32_t point = NextCodePoint(text, at);
        if (point == '"' || point == '\\') {
            json += '\\';
            json += static_cast<char>(point);
        } else if (point >= 0x20 && point <= 0x7E) {
            json += static_cast<char>(point);
        } else if (point < 0x10000) {
            AppendUnitEscape(json, point);
        } else {
            AppendUnitEscape(json, 0xD800 + ((point - 0x10000) >> 10));
            AppendUnitEscape(json, 0xDC00 + ((point - 0x10000) & 0x3FFu));
        }
    }
    return json + "\"";
}

bool WriteLine(std::FILE* out, const std::string& line) {
    return std::fputs(line.c_str(), out) >= 0 && std::fputc('\n', out) != EOF;
}

std::string Columns(const std::string& pid, const std::string& root, const std::string& state,
                    const std::string& name) {
    return Padded(pid, kPidWidth) + Padded(root, kPidWidth) + Padded(state, kStateWidth) + name;
}

}  // namespace

std::string TableHeader(ListingColumns columns) {
    if (columns == ListingColumns::kName) return Columns("PID", "ROOT", "STATE", "NAME");
    return Columns("PID", "ROOT", "STATE", Padded("NAME", kNameWidth) + "APPLICATION");
}

std::string TableRow(const ListedProcess& process, ListingColumns columns) {
    const std::string name = Printable(process.name);
    std::string last = name;
    if (columns == ListingColumns::kNameAndApplication && !process.application.empty() &&
        process.application != process.name) {
        last = Padded(name, kNameWidth) + Printable(process.application);
    }
    return Columns(std::to_string(process.pid), std::to_string(process.root),
                   StateWord(process.active), last);
}

std::string JsonLine(const ListedProcess& process, ListingColumns columns) {
    std::string json = "{\"pid\":" + std::to_string(process.pid) +
                       ",\"root\":" + std::to_string(process.root) + ",\"state\":\"" +
                       StateWord(process.active) + "\",\"name\":" + JsonString(process.name);
    if (columns == ListingColumns::kNameAndApplication) {
        json += ",\"application\":";
        json += process.application.empty() ? "null" : JsonString(process.application);
    }
    return json + "}";
}

std::vector<std::string> ListingLines(const std::vector<ListedProcess>& listing, bool json,
                                      ListingColumns columns) {
    std::vector<std::string> lines;
    if (!json) lines.push_back(TableHeader(columns));
    for (const ListedProcess& process : listing) {
        lines.push_back(json ? JsonLine(process, columns) : TableRow(process, columns));
    }
    return lines;
}

bool WriteListing(std::FILE* out, const std::vector<ListedProcess>& listing, bool json,
                  ListingColumns columns) {
    bool written = true;
    for (const std::string& line : ListingLines(listing, json, columns)) {
        written = written && WriteLine(out, line);
    }
    return std::fflush(out) == 0 && written;
}
