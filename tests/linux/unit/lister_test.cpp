// harkwell-list's pieces that need no server: process records from /proc
// and the rows built from playback streams.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "linux/lister/listing.h"
#include "linux/process/proc_records.h"
#include "tests/linux/unit/made_up_proc.h"

namespace {

// A stat record as the kernel writes it: fields 5 to 21 in between, and more
// after the start time (field 22).
std::string StatLine(uint32_t pid, const std::string& command, uint32_t parent, uint64_t started) {
    return std::to_string(pid) + " (" + command + ") S " + std::to_string(parent) +
           " 5 5 0 -1 4194560 120 0 0 0 1 2 0 0 20 0 1 0 " + std::to_string(started) +
           " 8437760 2000 18446744073709551615 1 1 0 0 0 0 0 0 0 17 3 0 0 0 0 0\n";
}

TEST(StatRecord, ParentCommandAndStartTime) {
    const std::optional<StatFields> stat = ParseStatRecord(StatLine(4242, "a b) (c", 4200, 987654));
    ASSERT_TRUE(stat);
    EXPECT_EQ("a b) (c", stat->command);
    EXPECT_EQ(4200u, stat->parent);
    EXPECT_EQ(std::optional<uint64_t>(987654), stat->startTime);

    // A record cut short keeps its parent but has no start time.
    const std::optional<StatFields> cut = ParseStatRecord("77 (sh) S 1 77 77");
    ASSERT_TRUE(cut);
    EXPECT_EQ(1u, cut->parent);
    EXPECT_EQ(std::nullopt, cut->startTime);

    for (const char* bad : {"", "77 sh S 1", "77 (sh) S", "77 (sh) S -1 0"}) {
        EXPECT_EQ(std::nullopt, ParseStatRecord(bad)) << bad;
    }
}

class FakeProc : public MadeUpProc {
protected:
    // A process; an empty exe leaves its executable unreadable, as for one
    // of another user.
    void Process(uint32_t pid, const std::string& stat, const std::string& exe) {
        const std::filesystem::path folder = root_ / std::to_string(pid);
        std::filesystem::create_directory(folder);
        std::ofstream(folder / "stat") << stat;
        if (!exe.empty()) std::filesystem::create_symlink(exe, folder / "exe");
    }
};

TEST_F(FakeProc, RecordsNameTheExecutableFile) {
    Process(10, StatLine(10, "pw-play", 1, 500), "/usr/bin/pw-cat");
    Process(11, StatLine(11, "player", 1, 600), "/opt/app/player (deleted)");
    Process(12, StatLine(12, "secret-player", 1, 700), "");
    Process(13, "13 (short) S 1", "/usr/bin/short");

    const std::optional<ProcessRecord> linked = ReadProcessRecord(root_, 10);
    ASSERT_TRUE(linked);
    EXPECT_EQ("pw-cat", linked->name) << "the file run, not the name it was started by";
    EXPECT_EQ("/usr/bin/pw-cat", linked->image);
    EXPECT_EQ(1u, linked->parentPid);
    EXPECT_TRUE(linked->inspected);
    EXPECT_EQ(500u, linked->startTime);

    const std::optional<ProcessRecord> replaced = ReadProcessRecord(root_, 11);
    ASSERT_TRUE(replaced);
    EXPECT_EQ("player", replaced->name);
    EXPECT_EQ("/opt/app/player", replaced->image);

    const std::optional<ProcessRecord> hidden = ReadProcessRecord(root_, 12);
    ASSERT_TRUE(hidden);
    EXPECT_EQ("secret-player", hidden->name) << "the kernel's command name stands in";
    EXPECT_FALSE(hidden->inspected);

    const std::optional<ProcessRecord> cut = ReadProcessRecord(root_, 13);
    ASSERT_TRUE(cut);
    EXPECT_FALSE(cut->inspected) << "no start time, no root walk through it";

    EXPECT_EQ(std::nullopt, ReadProcessRecord(root_, 14));
}

TEST(ProcRecords, TheRealProcFolderKnowsThisProcess) {
    const uint32_t self = static_cast<uint32_t>(getpid());
    const std::optional<ProcessRecord> record = ReadProcessRecord("/proc", self);
    ASSERT_TRUE(record);
    EXPECT_EQ(static_cast<uint32_t>(getppid()), record->parentPid);
    EXPECT_TRUE(record->inspected);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/self/exe").string(), record->image);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/self/exe").filename().string(), record->name);
    EXPECT_GT(record->startTime, 0u);
}

ProcessRecord Record(uint32_t pid, uint32_t parent, const std::string& image, uint64_t started) {
    ProcessRecord record;
    record.pid = pid;
    record.parentPid = parent;
    record.image = image;
    record.name = image.substr(image.rfind('/') + 1);
    record.inspected = true;
    record.startTime = started;
    return record;
}

ProcessRecord Uninspected(ProcessRecord record) {
    record.inspected = false;
    return record;
}

PlaybackStream Stream(std::optional<uint32_t> owner, bool playing,
                      const std::string& application = "") {
    PlaybackStream stream;
    stream.owner = owner;
    stream.playing = playing;
    stream.application = application;
    return stream;
}

ProcessRecordLookup TableLookup(const std::map<uint32_t, ProcessRecord>& table) {
    return [&table](uint32_t pid) -> const ProcessRecord* {
        const auto found = table.find(pid);
        return found == table.end() ? nullptr : &found->second;
    };
}

const char kShell[] = "/usr/bin/dash";
const char kPlayer[] = "/opt/app/player";
const char kOther[] = "/usr/bin/pw-cat";

TEST(LinuxListing, OneRowPerPlayerWithItsRoot) {
    //   1 (init) ─ 50 (sh) ─ 100 (player) ─ 200 (player) ─ 300 (pw-cat)
    //                                     └ 210 (player, pid reused: started later)
    //                      └ 400 (player, hidden)  ─ 410 (player)
    //                      └ 500 (player, same tick) ─ 510 (player)
    const std::map<uint32_t, ProcessRecord> table = {
        {1, Record(1, 0, "/sbin/init", 1)},
        {50, Record(50, 1, kShell, 100)},
        {100, Record(100, 50, kPlayer, 200)},
        {200, Record(200, 100, kPlayer, 210)},
        {210, Record(210, 100, kPlayer, 150)},
        {300, Record(300, 200, kOther, 220)},
        {400, Uninspected(Record(400, 50, kPlayer, 230))},
        {410, Record(410, 400, kPlayer, 240)},
        {500, Record(500, 50, kPlayer, 250)},
        {510, Record(510, 500, kPlayer, 250)},
    };
    const std::vector<PlaybackStream> streams = {
        Stream(300, true, "pw-play"), Stream(200, false, "Player"), Stream(200, true, "Player FX"),
        Stream(210, false),           Stream(std::nullopt, true),   Stream(999, true, "gone"),
        Stream(410, true, "player"),  Stream(510, false),           Stream(50, false, "shell")};
    const std::vector<ListedProcess> listing = BuildListing(streams, TableLookup(table));

    const struct {
        uint32_t pid, root;
        bool active;
        const char *name, *application;
    } expected[] = {
        {50, 50, false, "dash", "shell"},
        {200, 100, true, "player", "Player"},   // active by its second stream
        {210, 210, false, "player", ""},        // its "parent" started after it
        {300, 300, true, "pw-cat", "pw-play"},  // another executable is its own root
        {410, 410, true, "player", "player"},   // a parent that cannot be read ends the walk
        {510, 500, false, "player", ""},        // a parent of the same tick counts
    };
    ASSERT_EQ(std::size(expected), listing.size())
        << "no row for a stream without a player, nor for a player that has exited";
    for (size_t i = 0; i < listing.size(); ++i) {
        EXPECT_EQ(expected[i].pid, listing[i].pid);
        EXPECT_EQ(expected[i].root, listing[i].root) << expected[i].pid;
        EXPECT_EQ(expected[i].active, listing[i].active) << expected[i].pid;
        EXPECT_EQ(expected[i].name, listing[i].name) << expected[i].pid;
        EXPECT_EQ(expected[i].application, listing[i].application) << expected[i].pid;
    }
}

TEST(LinuxListing, NothingPlayingListsNothing) {
    const std::map<uint32_t, ProcessRecord> table = {{1, Record(1, 0, "/sbin/init", 1)}};
    EXPECT_TRUE(BuildListing({}, TableLookup(table)).empty());
}

TEST_F(FakeProc, RecordsAreReadOnceAndLookedUpByPid) {
    Process(20, StatLine(20, "player", 1, 300), kPlayer);
    const ProcessRecordLookup find = CachedProcRecords(root_);
    const ProcessRecord* first = find(20);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ("player", first->name);
    std::filesystem::remove_all(root_ / "20");
    EXPECT_EQ(first, find(20)) << "one snapshot of each process for the whole listing";
    EXPECT_EQ(nullptr, find(21));
}

}  // namespace
