// The texts the tools print on standard error, byte for byte. They are string
// literals so that each tool joins them with its own program name and, where
// it prints wide text, widens them by writing L"" before them.
#pragma once

// The usage line for a program of the given name (a string literal).
#define HARKWELL_USAGE_LINE(program) "usage: " program " <pid> <include|exclude>\n"

// The start of the failure line; the argument is the result code as an
// unsigned 32-bit value.
#define HARKWELL_ACTIVATE_FAILED_FORMAT "activate failed: 0x%08x"
