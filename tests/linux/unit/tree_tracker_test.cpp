// The tree as a capture keeps it: members stay when their parents exit, pids
// reused by other processes do not join, and new children are found.
#include <gtest/gtest.h>

#include <map>
#include <unistd.h>

#include "linux/process/tree_tracker.h"

namespace {

// A process table that a test edits as processes start and exit.
struct FakeProcesses {
    struct Process {
        uint32_t parent;
        uint64_t startTime;
    };
    std::map<uint32_t, Process> processes;
    uint32_t lastPid = 0;
    int childrenReads = 0;
    int statReads = 0;

    void Start(uint32_t pid, uint32_t parent) {
        processes[pid] = {parent, ++clock};
        lastPid = pid;
    }
    void Exit(uint32_t pid) {
        processes.erase(pid);
        // Its children go to process 1, as when no subreaper takes them.
        for (auto& [child, process] : processes) {
            if (process.parent == pid) process.parent = 1;
        }
    }

    ProcessTable Table() {
        ProcessTable table;
        table.stat = [this](uint32_t pid) -> std::optional<StatFields> {
            ++statReads;
            const auto found = processes.find(pid);
            if (found == processes.end()) return std::nullopt;
            StatFields stat;
            stat.parent = found->second.parent;
            stat.startTime = found->second.startTime;
            return stat;
        };
        table.children = [this](uint32_t pid) {
            ++childrenReads;
            std::vector<uint32_t> children;
            for (const auto& [child, process] : processes) {
                if (process.parent == pid) children.push_back(child);
            }
            return children;
        };
        table.lastCreatedPid = [this]() -> std::optional<uint32_t> { return lastPid; };
        return table;
    }

    uint64_t clock = 0;
};

TEST(ProcessTreeTracker, OrphansSeenInTheTreeStayWithTheirLaterChildren) {
    // Each case: how the player came to lose its parent, and whether the
    // tracker looked (Refresh) while the parent was still there.
    const struct {
        const char* name;
        bool lookedBeforeParentExited;
        bool expected;
    } cases[] = {
        {"launcher exits after the player was seen", true, true},
        {"launcher exits before anyone looked (an immediate double fork)", false, false},
    };
    for (const auto& c : cases) {
        FakeProcesses fake;
        fake.Start(1, 0);
        fake.Start(100, 1);  // the root
        ProcessTreeTracker tracker(100, fake.Table());
        fake.Start(200, 100);  // launcher
        fake.Start(300, 200);  // player
        if (c.lookedBeforeParentExited) tracker.Refresh();
        fake.Exit(200);
        fake.Start(301, 300);  // the player's later child
        tracker.Refresh();
        EXPECT_EQ(tracker.Contains(300), c.expected) << c.name;
        EXPECT_EQ(tracker.Contains(301), c.expected) << c.name;
        EXPECT_FALSE(tracker.Contains(200)) << c.name;  // gone
        EXPECT_FALSE(tracker.Contains(1)) << c.name;
    }
}

TEST(ProcessTreeTracker, ReusedPidsDoNotJoin) {
    FakeProcesses fake;
    fake.Start(1, 0);
    fake.Start(100, 1);
    fake.Start(200, 100);
    ProcessTreeTracker tracker(100, fake.Table());
    ASSERT_TRUE(tracker.Contains(200));
    fake.Exit(200);
    fake.Start(200, 1);  // another program gets the pid
    EXPECT_FALSE(tracker.Contains(200));
    fake.Start(201, 200);
    EXPECT_FALSE(tracker.Contains(201));
    tracker.Refresh();
    EXPECT_FALSE(tracker.Contains(200));
    // The root's own pid, reused, is no longer the root.
    fake.Exit(100);
    fake.Start(100, 1);
    tracker.Refresh();
    EXPECT_FALSE(tracker.Contains(100));
}

TEST(ProcessTreeTracker, WalksUpForProcessesNotSeenYet) {
    FakeProcesses fake;
    fake.Start(1, 0);
    fake.Start(100, 1);
    ProcessTreeTracker tracker(100, fake.Table());
    fake.Start(200, 100);
    fake.Start(300, 200);
    fake.Start(400, 1);
    EXPECT_TRUE(tracker.Contains(300));  // no Refresh: found through its parents
    EXPECT_FALSE(tracker.Contains(400));
    EXPECT_FALSE(tracker.Contains(0));
    EXPECT_FALSE(tracker.Contains(999));
    // Once found, they stay when the middle one goes.
    fake.Exit(200);
    EXPECT_TRUE(tracker.Contains(300));
}

TEST(ProcessTreeTracker, RootThatCannotBeReadIsKnownByPid) {
    FakeProcesses fake;
    fake.Start(1, 0);
    ProcessTreeTracker tracker(100, fake.Table());
    fake.Start(100, 1);
    fake.Start(200, 100);
    EXPECT_TRUE(tracker.Contains(200));
    EXPECT_TRUE(tracker.Contains(100));
    EXPECT_FALSE(tracker.Contains(1));
}

TEST(ProcessTreeTracker, RefreshReadsNothingWhileNoProcessStarts) {
    FakeProcesses fake;
    fake.Start(1, 0);
    fake.Start(100, 1);
    fake.Start(200, 100);
    ProcessTreeTracker tracker(100, fake.Table());
    tracker.Refresh();
    const int reads = fake.childrenReads + fake.statReads;
    for (int i = 0; i < 10; ++i)
        tracker.Refresh();
    EXPECT_EQ(fake.childrenReads + fake.statReads, reads);
    fake.Start(300, 200);
    tracker.Refresh();
    EXPECT_GT(fake.childrenReads + fake.statReads, reads);
    EXPECT_EQ(tracker.MemberCount(), 3u);
}

TEST(ProcessTreeTracker, FindsNewChildrenByTheNewPidsOrByTheMembersChildren) {
    // Each case: the processes started elsewhere before the tree's new
    // child, the pid the child gets, and whether the members' children
    // lists are read to find it (rather than the new pids' records).
    const struct {
        const char* name;
        uint32_t othersStarted;
        uint32_t childPid;
        bool readsChildrenLists;
    } cases[] = {
        {"a few processes started", 3, 504, false},
        {"many processes started", 500, 1001, true},
        {"the pids wrapped around", 0, 50, true},
    };
    for (const auto& c : cases) {
        FakeProcesses fake;
        fake.Start(1, 0);
        fake.Start(100, 1);  // the root
        fake.Start(200, 100);
        fake.Start(500, 1);
        ProcessTreeTracker tracker(100, fake.Table());
        for (uint32_t other = 0; other < c.othersStarted; ++other)
            fake.Start(501 + other, 1);
        fake.Start(c.childPid, 200);
        const int childrenReads = fake.childrenReads;
        tracker.Refresh();
        fake.Exit(200);  // the child is orphaned once it was seen
        EXPECT_TRUE(tracker.Contains(c.childPid)) << c.name;
        EXPECT_EQ(fake.childrenReads > childrenReads, c.readsChildrenLists) << c.name;
        EXPECT_FALSE(tracker.Contains(500)) << c.name;
        EXPECT_EQ(tracker.MemberCount(), 3u) << c.name;
    }
}

TEST(ProcessTreeTracker, NewPidsUnderAReusedParentPidDoNotJoin) {
    FakeProcesses fake;
    fake.Start(1, 0);
    fake.Start(100, 1);
    fake.Start(200, 100);
    ProcessTreeTracker tracker(100, fake.Table());
    fake.Exit(200);
    fake.Start(200, 1);  // another program gets the pid: no look saw it
    fake.Start(201, 200);
    tracker.Refresh();
    EXPECT_FALSE(tracker.Contains(201));
    EXPECT_FALSE(tracker.Contains(200));
}

TEST(ProcessTreeTracker, ReadsTheRealProcessTable) {
    // This test process is in the tree of its parent, with its threads'
    // children lists readable.
    ProcessTreeTracker tracker(static_cast<uint32_t>(getppid()), ProcProcessTable("/proc"));
    EXPECT_TRUE(tracker.Contains(static_cast<uint32_t>(getpid())));
    EXPECT_GE(tracker.MemberCount(), 2u);
    EXPECT_TRUE(ProcProcessTable("/proc").lastCreatedPid().has_value());
}

}  // namespace
