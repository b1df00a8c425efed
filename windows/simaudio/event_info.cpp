#include "windows/simaudio/event_info.h"

#include "windows/simaudio/record.h"

namespace {

// ntdll's information classes and result layouts; not in every SDK's headers.
constexpr int kEventBasicInformation = 0;
constexpr int kObjectBasicInformation = 0;
constexpr int kSynchronizationEvent = 1;
constexpr DWORD kEventQueryState = 0x0001;  // EVENT_QUERY_STATE, missing from some headers

struct EventBasicInformation {
    int type;  // 0 notification (manual reset), 1 synchronization (auto reset)
    LONG state;
};

struct ObjectBasicInformation {
    ULONG attributes;
    ACCESS_MASK grantedAccess;
    ULONG handleCount;
    ULONG pointerCount;
    ULONG reserved[10];
};

using QueryFunction = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

QueryFunction NtdllFunction(const char* name) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    return reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

}  // namespace

std::string DescribeEventHandle(HANDLE event) {
    if (event == nullptr) return "handle=null type=? signaled=? access=?";
    std::string type = "?";
    std::string signaled = "?";
    std::string access = "?";

    EventBasicInformation eventInfo{};
    const QueryFunction queryEvent = NtdllFunction("NtQueryEvent");
    bool queried = queryEvent != nullptr && queryEvent(event, kEventBasicInformation, &eventInfo,
                                                       sizeof eventInfo, nullptr) >= 0;
    // A handle without query access can still be described through a
    // duplicate that has it.
    HANDLE queryable = nullptr;
    if (!queried && queryEvent != nullptr &&
        DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &queryable,
                        kEventQueryState, FALSE, 0)) {
        queried = queryEvent(queryable, kEventBasicInformation, &eventInfo, sizeof eventInfo,
                             nullptr) >= 0;
        CloseHandle(queryable);
    }
    if (queried) {
        type = eventInfo.type == kSynchronizationEvent ? "auto" : "manual";
        signaled = eventInfo.state != 0 ? "1" : "0";
    }
    ObjectBasicInformation objectInfo{};
    const QueryFunction queryObject = NtdllFunction("NtQueryObject");
    if (queryObject != nullptr &&
        queryObject(event, kObjectBasicInformation, &objectInfo, sizeof objectInfo, nullptr) >= 0) {
        access = Hex32(objectInfo.grantedAccess);
    }
    return "handle=set type=" + type + " signaled=" + signaled + " access=" + access;
}
