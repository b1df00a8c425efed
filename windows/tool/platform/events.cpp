#include "windows/tool/platform/events.h"

HANDLE CreateStreamEvent() {
    return CreateEventExW(nullptr, nullptr, 0, EVENT_ALL_ACCESS);
}
