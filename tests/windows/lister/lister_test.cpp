#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "windows/lister/listing.h"
#include "windows/lister/listing_output.h"
#include "windows/lister/root.h"
#include "windows/lister/session_reading.h"
#include "windows/tool/platform/unique_handle.h"

namespace {

const wchar_t kPlayer[] = L"C:\\Apps\\player.exe";
const wchar_t kWorker[] = L"C:\\Apps\\worker.exe";

ProcessRecord Process(DWORD pid, DWORD parent, const wchar_t* image, ULONGLONG started) {
    ProcessRecord record;
    record.pid = pid;
    record.parentPid = parent;
    record.image = image;
    const std::wstring path(image);
    record.name = path.substr(path.find_last_of(L'\\') + 1);
    record.inspected = true;
    record.startTime = started;
    return record;
}

ProcessRecord Unopened(ProcessRecord record) {
    record.inspected = false;
    record.image.clear();
    record.startTime = 0;
    return record;
}

struct RootCase {
    const char* name;
    ProcessTable table;
    DWORD pid;
    DWORD root;
};

TEST(FindRoot, FollowsParentsRunningTheSameExecutable) {
    const RootCase cases[] = {
        {"a chain of one executable ends at its top",
         {Process(100, 4, kPlayer, 10), Process(200, 100, kPlayer, 20),
          Process(300, 200, kPlayer, 30), Process(4, 0, kWorker, 1)},
         300,
         100},
        {"another executable ends the walk, even with this one above it",
         {Process(100, 0, kPlayer, 10), Process(200, 100, kWorker, 20),
          Process(300, 200, kPlayer, 30)},
         300,
         300},
        {"a child of another executable is its own root",
         {Process(100, 0, kPlayer, 10), Process(200, 100, kWorker, 20)},
         200,
         200},
        {"a reused pid: the parent started after the child",
         {Process(100, 0, kPlayer, 50), Process(200, 100, kPlayer, 20)},
         200,
         200},
        {"a reused pid higher up ends the walk there",
         {Process(100, 0, kPlayer, 40), Process(200, 100, kPlayer, 20),
          Process(300, 200, kPlayer, 30)},
         300,
         200},
        {"a start time shared with the parent counts (one clock tick)",
         {Process(100, 0, kPlayer, 20), Process(200, 100, kPlayer, 20)},
         200,
         100},
        {"executable paths compare without regard to case",
         {Process(100, 0, L"c:\\apps\\PLAYER.EXE", 10), Process(200, 100, kPlayer, 20)},
         200,
         100},
        {"the same file name in another folder is another executable",
         {Process(100, 0, L"D:\\Other\\player.exe", 10), Process(200, 100, kPlayer, 20)},
         200,
         200},
        {"a parent that could not be opened does not count",
         {Unopened(Process(100, 0, kPlayer, 10)), Process(200, 100, kPlayer, 20)},
         200,
         200},
        {"a child that could not be opened is its own root",
         {Process(100, 0, kPlayer, 10), Unopened(Process(200, 100, kPlayer, 20))},
         200,
         200},
        {"a parent that has exited", {Process(200, 100, kPlayer, 20)}, 200, 200},
        {"a process that is its own parent", {Process(0, 0, kPlayer, 0)}, 0, 0},
        {"a pid that is not in the table", {Process(100, 0, kPlayer, 10)}, 555, 555},
    };
    for (const RootCase& c : cases) {
        EXPECT_EQ(c.root, FindRoot(c.table, c.pid)) << c.name;
    }
}

TEST(FindRoot, EndsOnACycleOfReusedPids) {
    // Two processes naming each other as parent, started in the same tick.
    const ProcessTable table = {Process(100, 200, kPlayer, 20), Process(200, 100, kPlayer, 20)};
    const DWORD root = FindRoot(table, 100);
    EXPECT_TRUE(root == 100 || root == 200) << root;
}

TEST(Listing, RowsAreOneOwnerEachWithNameAndRoot) {
    const ProcessTable table = {Process(100, 0, kPlayer, 10), Process(200, 100, kPlayer, 20),
                                Unopened(Process(300, 100, kWorker, 30)),
                                Process(500, 0, L"C:\\Apps\\w\u00f6rker \U0001D11E.exe", 40)};
    const std::vector<SessionOwner> owners = {
        {100, false}, {200, true}, {300, true}, {400, true}, {500, false}};
    const std::vector<ListedProcess> listing = BuildListing(owners, table);
    ASSERT_EQ(4u, listing.size()) << "the owner that has exited (400) has no row";
    const struct {
        uint32_t pid, root;
        bool active;
        const char* name;
    } expected[] = {{100, 100, false, "player.exe"},
                    {200, 100, true, "player.exe"},
                    {300, 300, true, "worker.exe"},
                    {500, 500, false, "w\xc3\xb6rker \xf0\x9d\x84\x9e.exe"}};
    for (size_t i = 0; i < listing.size(); ++i) {
        EXPECT_EQ(expected[i].pid, listing[i].pid);
        EXPECT_EQ(expected[i].root, listing[i].root);
        EXPECT_EQ(expected[i].active, listing[i].active);
        EXPECT_EQ(expected[i].name, listing[i].name);
        EXPECT_EQ("", listing[i].application);
    }
}

TEST(Listing, PidZeroIsNeverARow) {
    // Real snapshots list the idle process as pid 0 (Wine's do not); the
    // system-sounds session reports it, whether or not it says it is that
    // session.
    ProcessRecord idle = Unopened(Process(0, 0, L"[System Process]", 0));
    idle.name = L"[System Process]";
    const ProcessTable table = {idle, Process(100, 0, kPlayer, 10)};
    const std::vector<ListedProcess> listing = BuildListing({{0, true}, {100, true}}, table);
    ASSERT_EQ(1u, listing.size());
    EXPECT_EQ(100u, listing[0].pid);
}

// A stand-in for QueryFullProcessImageNameW with a path of a given length,
// which answers as the platform does when the buffer is too small.
std::wstring fakeImagePath;

BOOL WINAPI FakeQueryImageName(HANDLE, DWORD, LPWSTR buffer, PDWORD size) {
    if (*size <= fakeImagePath.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    fakeImagePath.copy(buffer, fakeImagePath.size());
    buffer[fakeImagePath.size()] = L'\0';
    *size = static_cast<DWORD>(fakeImagePath.size());
    return TRUE;
}

BOOL WINAPI FailingQueryImageName(HANDLE, DWORD, LPWSTR, PDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST(ImagePath, PathsUpToTheLongestTheSystemAllowsAreRead) {
    for (const size_t length : {size_t{9}, size_t{519}, size_t{520}, size_t{4000}, size_t{32767}}) {
        fakeImagePath = L"C:\\" + std::wstring(length - 3 - 4, L'd') + L".exe";
        ASSERT_EQ(length, fakeImagePath.size());
        std::wstring image = L"stale";
        EXPECT_TRUE(ReadImagePath(GetCurrentProcess(), image, &FakeQueryImageName)) << length;
        EXPECT_EQ(fakeImagePath, image) << length;
    }
    std::wstring image = L"stale";
    EXPECT_FALSE(ReadImagePath(GetCurrentProcess(), image, &FailingQueryImageName));
    EXPECT_EQ(L"", image);
}

TEST(ImagePath, ReadsThisProcessesPath) {
    std::wstring image;
    ASSERT_TRUE(ReadImagePath(GetCurrentProcess(), image));
    EXPECT_EQ(L"lister_test.exe", image.substr(image.find_last_of(L"\\/") + 1));
}

// Stand-ins for the console: whether the handle is one, and what was
// written to it, `take` characters at a time at most.
BOOL consoleAnswers = TRUE;
BOOL consoleWrites = TRUE;
DWORD take = ~DWORD{0};
std::wstring consoleText;
int consoleCalls = 0;

BOOL WINAPI FakeGetConsoleMode(HANDLE, LPDWORD mode) {
    *mode = ENABLE_PROCESSED_OUTPUT;
    return consoleAnswers;
}

BOOL WINAPI FakeWriteConsole(HANDLE, const VOID* text, DWORD characters, LPDWORD written, LPVOID) {
    ++consoleCalls;
    if (!consoleWrites) return FALSE;
    const DWORD taken = characters < take ? characters : take;
    consoleText.append(static_cast<const wchar_t*>(text), taken);
    *written = taken;
    return TRUE;
}

const ConsoleCalls kFakeConsole = {&FakeGetConsoleMode, &FakeWriteConsole};

class ListingOutputTest : public testing::Test {
protected:
    void SetUp() override {
        consoleAnswers = TRUE;
        consoleWrites = TRUE;
        take = ~DWORD{0};
        consoleText.clear();
        consoleCalls = 0;
        file_ = std::tmpfile();
        ASSERT_NE(nullptr, file_);
    }
    void TearDown() override {
        if (file_ != nullptr) std::fclose(file_);
    }
    std::string FileBytes() {
        std::fflush(file_);
        std::rewind(file_);
        std::string bytes;
        for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
            bytes += static_cast<char>(c);
        }
        return bytes;
    }

    std::FILE* file_ = nullptr;
    const std::vector<ListedProcess> listing_ = {
        {8912, 8728, true, "chrome.exe", ""},
        {500, 500, false, "w\xc3\xb6rker \xe2\x99\xaa\xf0\x9d\x84\x9e.exe", ""}};
};

TEST_F(ListingOutputTest, AConsoleGetsTheTableInUtf16) {
    ASSERT_TRUE(WriteListingTo(file_, listing_, false, kFakeConsole));
    EXPECT_EQ(
        L"PID    ROOT   STATE     NAME\r\n"
        L"8912   8728   active    chrome.exe\r\n"
        L"500    500    inactive  w\u00f6rker \u266a\xd834\xdd1e.exe\r\n",
        consoleText);
    EXPECT_EQ("", FileBytes()) << "nothing went through the stream";
}

TEST_F(ListingOutputTest, AConsoleGetsJsonAsAscii) {
    ASSERT_TRUE(WriteListingTo(file_, listing_, true, kFakeConsole));
    EXPECT_EQ(
        L"{\"pid\":8912,\"root\":8728,\"state\":\"active\",\"name\":\"chrome.exe\"}\r\n"
        L"{\"pid\":500,\"root\":500,\"state\":\"inactive\","
        L"\"name\":\"w\\u00f6rker \\u266a\\ud834\\udd1e.exe\"}\r\n",
        consoleText);
}

TEST_F(ListingOutputTest, AConsoleThatTakesPartsGetsItAll) {
    take = 3;
    ASSERT_TRUE(WriteListingTo(file_, listing_, false, kFakeConsole));
    EXPECT_EQ(0u, consoleText.find(L"PID    ROOT"));
    EXPECT_NE(std::wstring::npos, consoleText.find(L"\u266a\xd834\xdd1e.exe\r\n"));
    EXPECT_GT(consoleCalls, 30);
}

TEST_F(ListingOutputTest, AConsoleThatFailsFailsTheListing) {
    consoleWrites = FALSE;
    EXPECT_FALSE(WriteListingTo(file_, listing_, false, kFakeConsole));
}

TEST_F(ListingOutputTest, FilesAndPipesGetUtf8Bytes) {
    consoleAnswers = FALSE;
    ASSERT_TRUE(WriteListingTo(file_, listing_, false, kFakeConsole));
    EXPECT_EQ(0, consoleCalls);
    EXPECT_EQ(
        "PID    ROOT   STATE     NAME\n"
        "8912   8728   active    chrome.exe\n"
        "500    500    inactive  w\xc3\xb6rker \xe2\x99\xaa\xf0\x9d\x84\x9e.exe\n",
        FileBytes());
}

TEST_F(ListingOutputTest, AFileIsNoConsole) {
    // The real GetConsoleMode: a file's handle is not a console's.
    ASSERT_TRUE(WriteListingTo(file_, listing_, false));
    EXPECT_EQ(0u, FileBytes().find("PID    ROOT   STATE     NAME\n8912 "));
}

// Stand-ins for the reading of sessions and the wait for it.
ResultCode ReadTwoOwners(std::vector<SessionOwner>& owners) {
    owners = {{100, true}, {200, false}};
    return S_OK;
}

ResultCode ReadFails(std::vector<SessionOwner>&) {
    return static_cast<ResultCode>(0x88890004u);
}

HANDLE releaseReading = nullptr;

ResultCode ReadUntilReleased(std::vector<SessionOwner>&) {
    WaitForSingleObject(releaseReading, INFINITE);
    return S_OK;
}

DWORD WINAPI WaitThatFails(HANDLE, DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

// What PrintReadingFailure writes to a stream in text mode, as standard
// error is: each wide character as one byte, the line end as CR LF.
std::string Printed(const ReadingOutcome& outcome) {
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"hw", 0, path) == 0) {
        ADD_FAILURE() << "no temporary file";
        return std::string();
    }
    std::FILE* file = _wfopen(path, L"wt");
    EXPECT_NE(nullptr, file);
    if (file == nullptr) return std::string();
    PrintReadingFailure(file, outcome, 10);
    std::fclose(file);
    file = _wfopen(path, L"rb");
    std::string bytes;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        bytes += static_cast<char>(c);
    }
    std::fclose(file);
    DeleteFileW(path);
    return bytes;
}

TEST(SessionReading, WhatWasReadComesBack) {
    const ReadingOutcome outcome = ReadSessionOwnersWithin(5000, &ReadTwoOwners);
    EXPECT_EQ(ReadingEnd::kRead, outcome.end);
    ASSERT_EQ(2u, outcome.owners.size());
    EXPECT_EQ(200u, outcome.owners[1].pid);
    EXPECT_EQ("", Printed(outcome));
}

TEST(SessionReading, AFailedReadingGivesItsCode) {
    const ReadingOutcome outcome = ReadSessionOwnersWithin(5000, &ReadFails);
    EXPECT_EQ(ReadingEnd::kFailed, outcome.end);
    EXPECT_EQ(static_cast<ResultCode>(0x88890004u), outcome.result);
    EXPECT_EQ("cannot reach the audio system: 0x88890004\r\n", Printed(outcome));
}

TEST(SessionReading, NoAnswerInTimeIsNoAnswer) {
    const UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    releaseReading = release.Get();
    const ReadingOutcome outcome = ReadSessionOwnersWithin(50, &ReadUntilReleased);
    EXPECT_EQ(ReadingEnd::kNoAnswer, outcome.end);
    EXPECT_EQ("cannot reach the audio system: no answer within 10 seconds\r\n", Printed(outcome));
    // The thread still runs; let it finish before the event goes.
    SetEvent(release.Get());
    Sleep(50);
}

TEST(SessionReading, AFailedWaitIsReportedAsOne) {
    const ReadingOutcome outcome = ReadSessionOwnersWithin(5000, &ReadTwoOwners, &WaitThatFails);
    EXPECT_EQ(ReadingEnd::kWaitFailed, outcome.end);
    EXPECT_EQ(static_cast<ResultCode>(0x80070006u), outcome.result);
    EXPECT_EQ("cannot reach the audio system: the wait for its answer failed: 0x80070006\r\n",
              Printed(outcome));
}

}  // namespace
