// The thread that turns the end of standard input into a stop request.
#pragma once

#include <windows.h>

#include "windows/tool/platform/result.h"

// Starts the detached watcher. It signals its own duplicate of stopEvent, so
// it never touches the capture object and may outlive it harmlessly. Fails
// (nothing started) when the event cannot be duplicated; a failure to start
// the thread itself throws, as std::thread does.
ResultCode StartStdinWatcher(HANDLE stopEvent);

// Reads and discards input until it ends, then sets stopEvent. The input
// ends at end of file, a closed pipe, a read error, or a byte 0x1A from a
// pipe or file (the C runtime's text-mode rule; a console passes 0x1A on).
void WatchInput(HANDLE input, HANDLE stopEvent);
