#include "windows/lister/process_table.h"

#include <tlhelp32.h>

#include "windows/tool/platform/unique_handle.h"

namespace {

std::wstring FileNameOf(const wchar_t* path) {
    const std::wstring text(path);
    const size_t slash = text.find_last_of(L"\\/");
    return slash == std::wstring::npos ? text : text.substr(slash + 1);
}

// Reads the image path and creation time; leaves the record uninspected when
// the process cannot be opened (it has exited, or access is denied).
void Inspect(ProcessRecord& record) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, record.pid));
    if (!process) return;
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process.Get(), &created, &exited, &kernel, &user)) return;
    if (!ReadImagePath(process.Get(), record.image)) return;
    record.startTime =
        (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    record.inspected = true;
}

}  // namespace

bool ReadImagePath(HANDLE process, std::wstring& image, QueryImageName query) {
    // Most paths fit the first buffer; a longer one is read again into one
    // that holds the longest path the system allows.
    for (const DWORD size : {DWORD{MAX_PATH * 2}, kLongestPath + 1}) {
        image.assign(size, L'\0');
        DWORD length = size;
        if (query(process, 0, &image[0], &length)) {
            image.resize(length);
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    }
    image.clear();
    return false;
}

ResultCode ReadProcessTable(ProcessTable& table) {
    table.clear();
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.Get() == INVALID_HANDLE_VALUE) return FailureFromLastError();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL found = Process32FirstW(snapshot.Get(), &entry); found;
         found = Process32NextW(snapshot.Get(), &entry)) {
        ProcessRecord record;
        record.pid = entry.th32ProcessID;
        record.parentPid = entry.th32ParentProcessID;
        record.name = FileNameOf(entry.szExeFile);
        Inspect(record);
        table.push_back(std::move(record));
    }
    const DWORD lastError = GetLastError();
    return lastError == ERROR_NO_MORE_FILES ? S_OK : ResultFromLastError(lastError);
}

const ProcessRecord* FindProcess(const ProcessTable& table, DWORD pid) {
    for (const ProcessRecord& record : table) {
        if (record.pid == pid) return &record;
    }
    return nullptr;
}
