// What the record says about an event handle the consumer hands over.
#pragma once

#include <windows.h>

#include <string>

// "handle=set|null type=auto|manual|? signaled=0|1|? access=0x%08x|?"
std::string DescribeEventHandle(HANDLE event);
