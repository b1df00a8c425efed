// A process of a test's process tree. Started as
//
//   <name>.exe <path> [children]
//
// it writes "<path> <pid>" on stdout, starts its children, waits until stdin
// ends, waits for the children and exits. `children` is a comma-separated
// list of `name` or `name(children)`; child i runs <name>.exe from this
// program's folder with the path <path>.<i>. All of the tree share the
// three standard streams, so closing stdin ends the whole tree.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "windows/tool/platform/unique_handle.h"

namespace {

constexpr DWORD kChildrenExitMilliseconds = 10000;

struct ChildSpec {
    std::wstring name;
    std::wstring children;
};

// Splits "a(b,c),d" into {a, "b,c"} and {d, ""}; false when the brackets do
// not match.
bool ParseChildren(const std::wstring& text, std::vector<ChildSpec>& children) {
    size_t start = 0;
    int depth = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        const wchar_t c = i < text.size() ? text[i] : L',';
        if (c == L'(') ++depth;
        if (c == L')' && --depth < 0) return false;
        if (c != L',' || depth != 0) continue;
        const std::wstring item = text.substr(start, i - start);
        start = i + 1;
        if (item.empty()) continue;
        const size_t open = item.find(L'(');
        if (open == std::wstring::npos) {
            children.push_back(ChildSpec{item, L""});
        } else {
            if (item.back() != L')') return false;
            children.push_back(
                ChildSpec{item.substr(0, open), item.substr(open + 1, item.size() - open - 2)});
        }
    }
    return depth == 0;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

void WriteOut(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

bool StartChild(const ChildSpec& child, const std::wstring& path,
                std::vector<UniqueHandle>& started) {
    const std::wstring exe = ProgramFolder() + child.name + L".exe";
    std::wstring commandLine = L"\"" + exe + L"\" " + path + L" \"" + child.children + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fwprintf(stderr, L"cannot start %ls: %lu\n", exe.c_str(), GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    started.emplace_back(process.hProcess);
    return true;
}

void WaitForEndOfInput() {
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
           read != 0) {
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: <name>.exe <path> [children]\n");
        return 2;
    }
    const std::wstring path = argv[1];
    std::vector<ChildSpec> children;
    if (argc > 2 && !ParseChildren(argv[2], children)) {
        std::fwprintf(stderr, L"unbalanced brackets: %ls\n", argv[2]);
        return 2;
    }
    for (DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        SetHandleInformation(GetStdHandle(stream), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    char line[64];
    std::snprintf(line, sizeof line, " %lu\n", GetCurrentProcessId());
    std::string pathText(path.begin(), path.end());
    WriteOut(pathText + line);

    std::vector<UniqueHandle> started;
    bool allStarted = true;
    for (size_t i = 0; i < children.size() && allStarted; ++i) {
        allStarted = StartChild(children[i], path + L"." + std::to_wstring(i), started);
    }
    WaitForEndOfInput();
    for (const UniqueHandle& child : started) {
        WaitForSingleObject(child.Get(), kChildrenExitMilliseconds);
    }
    return allStarted ? 0 : 1;
}
