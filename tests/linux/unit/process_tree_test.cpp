// Membership of a process tree, from a parent table and from a /proc-like
// folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "linux/process/proc_records.h"
#include "linux/process/process_tree.h"

namespace {

ParentLookup TableLookup(std::map<uint32_t, uint32_t> parents) {
    return [parents](uint32_t pid) -> std::optional<uint32_t> {
        const auto found = parents.find(pid);
        if (found == parents.end()) return std::nullopt;
        return found->second;
    };
}

TEST(ProcessTree, DescendantsAtAnyDepthBelongAndNothingElse) {
    //   1 ─ 100 ─ 200 ─ 300 ─ 400
    //   │     └── 201
    //   └ 101 ─ 250
    const ParentLookup parentOf = TableLookup(
        {{1, 0}, {100, 1}, {200, 100}, {201, 100}, {300, 200}, {400, 300}, {101, 1}, {250, 101}});
    for (uint32_t pid : {100u, 200u, 201u, 300u, 400u}) {
        EXPECT_TRUE(IsInProcessTree(pid, 100, parentOf)) << pid;
    }
    for (uint32_t pid : {1u, 101u, 250u, 999u}) {
        EXPECT_FALSE(IsInProcessTree(pid, 100, parentOf)) << pid;
    }
    EXPECT_TRUE(IsInProcessTree(250, 101, parentOf));
    EXPECT_FALSE(IsInProcessTree(200, 200 + 1, parentOf));
}

TEST(ProcessTree, ProcessZeroIsInNoTree) {
    const ParentLookup parentOf = TableLookup({{1, 0}, {100, 1}});
    EXPECT_FALSE(IsInProcessTree(100, 0, parentOf));
    EXPECT_FALSE(IsInProcessTree(0, 0, parentOf));
    EXPECT_TRUE(IsInProcessTree(100, 1, parentOf));
}

TEST(ProcessTree, AWalkThatLoopsOrBreaksEnds) {
    // Stale records can form a loop; an unreadable parent ends the walk.
    const ParentLookup parentOf = TableLookup({{10, 11}, {11, 10}, {20, 20}, {30, 31}});
    EXPECT_FALSE(IsInProcessTree(10, 5, parentOf));
    EXPECT_TRUE(IsInProcessTree(10, 11, parentOf));
    EXPECT_FALSE(IsInProcessTree(20, 5, parentOf));
    EXPECT_FALSE(IsInProcessTree(30, 5, parentOf));
}

TEST(ProcessTree, StatRecordsWithAwkwardNames) {
    struct Case {
        const char* record;
        std::optional<uint32_t> parent;
    };
    const Case cases[] = {
        {"1234 (pw-play) S 1200 1234 1200 0 -1", 1200u},
        {"1234 (a b) c) R 77 1 1", 77u},  // the name holds ") "
        {"1234 ((x)) S 5 0", 5u},
        {"1 (init) S 0 1 1 0", 0u},
        {"1234 (pw-play) S", std::nullopt},
        {"1234 (pw-play) S x1", std::nullopt},
        {"1234 pw-play S 1", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParentFromStatRecord(c.record), c.parent) << c.record;
    }
}

TEST(ProcessTree, ParentsAreReadFromAProcFolder) {
    char folder[] = "/tmp/harkwell-proc-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::filesystem::path root(folder);
    const auto write = [&](uint32_t pid, const std::string& record) {
        std::filesystem::create_directory(root / std::to_string(pid));
        std::ofstream(root / std::to_string(pid) / "stat") << record;
    };
    write(1, "1 (init) S 0 1 1 0\n");
    write(50, "50 (sh) S 1 50 50 0\n");
    write(60, "60 (my player) S 50 50 50 0\n");
    write(70, "70 (other) S 1 70 70 0\n");

    const ParentLookup parentOf = ProcParentLookup(folder);
    EXPECT_EQ(parentOf(60), std::optional<uint32_t>(50));
    EXPECT_EQ(parentOf(61), std::nullopt);
    EXPECT_TRUE(IsInProcessTree(60, 50, parentOf));
    EXPECT_FALSE(IsInProcessTree(70, 50, parentOf));
    std::filesystem::remove_all(root);
}

TEST(ProcessTree, ARecordThatCannotBeReadIsNoRecord) {
    // A record that opens but whose read fails, as one of a process that
    // exits while it is read does (ESRCH): here a folder, whose read fails
    // with EISDIR. A stream's read of it threw (std::ios_base::failure).
    char folder[] = "/tmp/harkwell-proc-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::filesystem::path root(folder);
    std::filesystem::create_directories(root / "80" / "stat");
    std::filesystem::create_directory(root / "81");
    std::ofstream(root / "81" / "stat") << "81 (sh) S 80 81 81 0\n";

    std::optional<std::string> record;
    EXPECT_NO_THROW(record = ReadStatRecord(folder, 80));
    EXPECT_EQ(record, std::nullopt);
    EXPECT_EQ(ReadStatRecord(folder, 81), std::optional<std::string>("81 (sh) S 80 81 81 0\n"));
    EXPECT_EQ(ReadStatRecord(folder, 82), std::nullopt);
    EXPECT_NO_THROW(EXPECT_EQ(ReadProcessRecord(folder, 80), std::nullopt));
    const ParentLookup parentOf = ProcParentLookup(folder);
    EXPECT_EQ(parentOf(80), std::nullopt);
    EXPECT_EQ(parentOf(81), std::optional<uint32_t>(80));
    std::filesystem::remove_all(root);
}

TEST(ProcessTree, TheRealProcFolderKnowsThisProcess) {
    const ParentLookup parentOf = ProcParentLookup("/proc");
    const uint32_t self = static_cast<uint32_t>(getpid());
    EXPECT_EQ(parentOf(self), std::optional<uint32_t>(static_cast<uint32_t>(getppid())));
    EXPECT_TRUE(IsInProcessTree(self, static_cast<uint32_t>(getppid()), parentOf));
}

}  // namespace
