// The rows the lister prints, and their two forms: a table for people and
// one JSON object per line for programs.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "lister/audio_sessions.h"
#include "lister/process_table.h"

struct ListedProcess {
    DWORD pid = 0;
    DWORD root = 0;
    bool active = false;
    std::wstring name;
};

// One row per session owner still in the process table, in the owners'
// order. An owner that has exited since its session was read has no row: its
// pid no longer names anything to capture, or names a newer process.
std::vector<ListedProcess> BuildListing(const std::vector<SessionOwner>& owners,
                                        const ProcessTable& table);

// Lines without their line end, in UTF-8.
std::string TableHeader();
std::string TableRow(const ListedProcess& process);
// Pure ASCII: the name's quotes, backslashes, control and non-ASCII
// characters are escaped.
std::string JsonLine(const ListedProcess& process);
