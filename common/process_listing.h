// The rows both listers print, one per process that plays: a table for people
// and one JSON object per line for programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ListedProcess {
    uint32_t pid = 0;
    // The pid to pass to Harkwell's include mode for this application.
    uint32_t root = 0;
    // Whether any of the process's sessions or streams is playing.
    bool active = false;
    // The executable's file name, in UTF-8 where the system names files in
    // UTF-16, else as the system gives it.
    std::string name;
    // What the process's stream calls its application; empty when it says
    // nothing (and always where sessions carry no such name).
    std::string application;
};

// Which columns a listing has: the executable's name alone, or also the
// application's own name (for streams that state one).
enum class ListingColumns { kName, kNameAndApplication };

// Lines without their line end. In the table, PID, ROOT and STATE (and NAME,
// when APPLICATION follows it) are padded to a width and followed by one
// space, so a wider value still stays apart from the next. The APPLICATION
// column shows the application's name only where it differs from NAME.
// Control characters in a name would break the one line per process that
// callers count on: the table shows each as '?'.
std::string TableHeader(ListingColumns columns);
std::string TableRow(const ListedProcess& process, ListingColumns columns);

// Pure ASCII: quotes, backslashes, control and non-ASCII characters are
// escaped, the latter as UTF-16 units; bytes that are not UTF-8 read as
// U+FFFD. With the application column, "application" is the stream's name
// as stated, or null.
std::string JsonLine(const ListedProcess& process, ListingColumns columns);

// The lines of a listing, without their line ends: the table (header first,
// also when there are no rows) or the JSON lines.
std::vector<std::string> ListingLines(const std::vector<ListedProcess>& listing, bool json,
                                      ListingColumns columns);

// Writes ListingLines, one line each, and flushes `out`. False when any of
// it could not be written.
bool WriteListing(std::FILE* out, const std::vector<ListedProcess>& listing, bool json,
                  ListingColumns columns);
