// How Harkwell-list.exe hands its listing to standard output. A console shows
// text in UTF-16 through WriteConsoleW, whatever its output code page (437,
// 850, 932 would garble UTF-8 bytes); files and pipes get the UTF-8 bytes,
// for the program that reads them. JSON is ASCII either way.
#pragma once

#include <windows.h>

#include <cstdio>
#include <vector>

#include "common/process_listing.h"

// The two console calls the choice and the console path make:
// GetConsoleMode and WriteConsoleW, or a test's stand-ins.
struct ConsoleCalls {
    BOOL(WINAPI* getMode)(HANDLE console, LPDWORD mode);
    BOOL(WINAPI* write)
    (HANDLE console, const VOID* text, DWORD characters, LPDWORD written, LPVOID reserved);
};

extern const ConsoleCalls kSystemConsole;

// Writes the listing's lines (ListingLines) to `out`. When the handle under
// `out` is a console (GetConsoleMode answers for it), the lines go to it in
// UTF-16, each ended by CR LF, through `console.write` and none through
// `out`; otherwise they go through `out` as WriteListing writes them. False
// when any of it could not be written.
bool WriteListingTo(std::FILE* out, const std::vector<ListedProcess>& listing, bool json,
                    const ConsoleCalls& console = kSystemConsole);
