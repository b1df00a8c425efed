// The processes running now: names and parents from a process snapshot,
// executable paths and start times from each process that can be opened.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "windows/tool/platform/result.h"

struct ProcessRecord {
    DWORD pid = 0;
    DWORD parentPid = 0;
    // The executable's file name, e.g. L"player.exe".
    std::wstring name;
    // False when the process could not be opened: its image and startTime
    // below are then unknown.
    bool inspected = false;
    // The executable's full path.
    std::wstring image;
    // Creation time in 100 ns units since 1601 (UTC).
    ULONGLONG startTime = 0;
};

using ProcessTable = std::vector<ProcessRecord>;

// The longest path the system allows, in characters, without its end.
constexpr DWORD kLongestPath = 32767;

// How an image path is read: QueryFullProcessImageNameW, or a test's stand-in.
using QueryImageName = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);

// The full path of the executable an opened process runs, up to kLongestPath
// characters; false (and `image` empty) when it cannot be read.
bool ReadImagePath(HANDLE process, std::wstring& image,
                   QueryImageName query = &QueryFullProcessImageNameW);

// Fills `table` with every process of the snapshot.
ResultCode ReadProcessTable(ProcessTable& table);

// The record of `pid`, or null when no such process is in the table.
const ProcessRecord* FindProcess(const ProcessTable& table, DWORD pid);
