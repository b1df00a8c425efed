#include "windows/lister/listing_output.h"

#include <io.h>

#include <string>

const ConsoleCalls kSystemConsole = {&GetConsoleMode, &WriteConsoleW};

namespace {

std::wstring Utf16(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

// Older consoles refuse a single write much larger than this.
constexpr size_t kConsoleChunk = 8192;

bool IsHighSurrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// Writes all of `text`, in chunks that never split a surrogate pair; a
// console may also take a chunk in parts.
bool WriteConsoleText(HANDLE console, const std::wstring& text, const ConsoleCalls& calls) {
    for (size_t done = 0; done < text.size();) {
        size_t chunk = text.size() - done;
        if (chunk > kConsoleChunk) {
            chunk = kConsoleChunk;
            if (IsHighSurrogate(text[done + chunk - 1])) --chunk;
        }
        DWORD written = 0;
        if (!calls.write(console, text.data() + done, static_cast<DWORD>(chunk), &written,
                         nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace

bool WriteListingTo(std::FILE* out, const std::vector<ListedProcess>& listing, bool json,
                    const ConsoleCalls& console) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !console.getMode(handle, &mode)) {
        return WriteListing(out, listing, json, ListingColumns::kName);
    }
    std::wstring text;
    for (const std::string& line : ListingLines(listing, json, ListingColumns::kName)) {
        text += Utf16(line) + L"\r\n";
    }
    return WriteConsoleText(handle, text, console);
}
