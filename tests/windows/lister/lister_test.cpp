#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "windows/lister/listing.h"
#include "windows/lister/root.h"

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

}  // namespace
