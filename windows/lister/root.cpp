#include "windows/lister/root.h"

#include "common/process_root.h"

namespace {

bool SameImage(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

DWORD FindRoot(const ProcessTable& table, DWORD pid) {
    return FindRootBy(
        pid, table.size(), [&table](DWORD of) { return FindProcess(table, of); }, &SameImage);
}
