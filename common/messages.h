// The texts the tools print on standard error, byte for byte. They are string
// literals so that each tool joins them with its own program name and, where
// it prints wide text, widens them by writing L"" before them.
#pragma once

// The usage line for a program of the given name (a string literal).
#define HARKWELL_USAGE_LINE(program) "usage: " program " <pid> <include|exclude>\n"

// The start of the failure line; the argument is the result code as an
// unsigned 32-bit value.
#define HARKWELL_ACTIVATE_FAILED_FORMAT "activate failed: 0x%08x"

// The listers' usage line, for a program of the given name.
#define HARKWELL_LIST_USAGE_LINE(program) "usage: " program " [--json]\n"

// The listers' failures: the audio system refused or failed (the argument is
// the result code as an unsigned 32-bit value), or did not answer in time
// (the argument is the bound in seconds, as unsigned long).
#define HARKWELL_UNREACHABLE_FORMAT "cannot reach the audio system: 0x%08x"
#define HARKWELL_NO_ANSWER_FORMAT "cannot reach the audio system: no answer within %lu seconds"
#define HARKWELL_LIST_NOT_WRITTEN "cannot write the list to standard output"

// Harkwell-list.exe only: the wait for the audio system's answer itself
// failed (the argument is the result code of the wait's last error, as
// unsigned 32-bit), and the process table could not be read (the argument is
// the result code).
#define HARKWELL_WAIT_FAILED_FORMAT \
    "cannot reach the audio system: the wait for its answer failed: 0x%08x"
#define HARKWELL_PROCESS_TABLE_FORMAT "cannot read the process table: 0x%08x"
