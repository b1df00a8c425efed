// Host pids for what sandboxed players say of themselves, on a made-up /proc.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "linux/pipewire/pipewire_connection.h"
#include "linux/process/sandbox_pids.h"
#include "tests/linux/unit/made_up_proc.h"

namespace {

TEST(SandboxPids, NsPidLines) {
    EXPECT_EQ(ParseNsPids("\t4242"), (std::vector<uint32_t>{4242}));
    EXPECT_EQ(ParseNsPids("\t4242\t3"), (std::vector<uint32_t>{4242, 3}));
    EXPECT_EQ(ParseNsPids(" 9 8 1 "), (std::vector<uint32_t>{9, 8, 1}));
    for (const char* bad : {"", "\t", "x", "12 y", "-1"}) {
        EXPECT_EQ(ParseNsPids(bad), std::nullopt) << '"' << bad << '"';
    }
}

TEST(SandboxPids, FlatpakInfo) {
    EXPECT_EQ(FlatpakAppIdOf("[Application]\nname=org.example.Player\nruntime=x\n"),
              "org.example.Player");
    EXPECT_EQ(FlatpakAppIdOf("[Instance]\nname=wrong\n[Application]\nname = org.a.B \n"),
              "org.a.B");
    EXPECT_EQ(FlatpakAppIdOf("[Instance]\nname=wrong\n"), "");
    EXPECT_EQ(FlatpakAppIdOf(""), "");
}

class SandboxProc : public MadeUpProc {
protected:
    // A process: its pids outermost first, its executable, its Flatpak id.
    void Process(std::vector<uint32_t> nsPids, const std::string& exe,
                 const std::string& appId = "") {
        const std::filesystem::path dir = root_ / std::to_string(nsPids.front());
        std::filesystem::create_directories(dir / "root");
        std::ofstream status(dir / "status");
        status << "Name:\tx\nNSpid:";
        for (uint32_t pid : nsPids)
            status << '\t' << pid;
        status << "\nPPid:\t1\n";
        std::filesystem::create_symlink(exe, dir / "exe");
        if (!appId.empty()) {
            std::ofstream(dir / "root" / ".flatpak-info")
                << "[Application]\nname=" << appId << "\n";
        }
    }
    std::optional<uint32_t> Resolve(uint32_t pid, const std::string& binary,
                                    const std::string& appId = "") {
        return ResolvePidClaim(root_.string(), PidClaim{pid, binary, appId});
    }
};

TEST_F(SandboxProc, ClaimsBelievedOrTranslated) {
    Process({2}, "/usr/sbin/kthreadd-not-readable");  // the host's pid 2
    Process({500}, "/usr/bin/paplay");                // a host player
    Process({6002, 2}, "/usr/bin/paplay");            // unshare: says 2
    Process({6003, 1, 3}, "/usr/bin/mpv");            // nested: says 3
    Process({7003, 3}, "/app/bin/player", "org.example.Player");
    Process({7103, 3}, "/app/bin/player", "org.example.Other");
    Process({8004, 4}, "/usr/bin/paplay");  // two sandboxes that both say 4
    Process({8104, 4}, "/usr/bin/paplay");
    const struct {
        const char* what;
        PidClaim claim;
        std::optional<uint32_t> host;
    } cases[] = {
        {"host player, consistent", {500, "paplay", ""}, 500u},
        {"host pid named without a binary", {500, "", ""}, 500u},
        {"sandbox pid 2 is not the host's 2", {2, "paplay", ""}, 6002u},
        {"the innermost pid counts", {3, "mpv", ""}, 6003u},
        {"Flatpak: the app id tells two sandboxes apart",
         {3, "player", "org.example.Player"},
         7003u},
        {"Flatpak id of none of them", {3, "player", "org.example.None"}, std::nullopt},
        {"two sandboxes with the same claim: cannot be told", {4, "paplay", ""}, std::nullopt},
        {"no process runs that binary", {2, "vlc", ""}, std::nullopt},
        {"a Flatpak claim is never taken for a host pid", {500, "paplay", "org.x.Y"}, std::nullopt},
        {"pid 0", {0, "", ""}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Resolve(c.claim.pid, c.claim.binary, c.claim.flatpakAppId), c.host) << c.what;
    }
}

TEST(ConnectionErrors, OnlyTheLossOfTheConnectionIsFatal) {
    EXPECT_TRUE(EndsConnection(PW_ID_CORE, -EPIPE));
    EXPECT_TRUE(EndsConnection(PW_ID_CORE, -ECONNRESET));
    // "unknown resource": a destroy that crossed the object's own removal.
    EXPECT_FALSE(EndsConnection(PW_ID_CORE, -ENOENT));
    EXPECT_FALSE(EndsConnection(PW_ID_CORE, -EINVAL));
    // About another object: its proxy hears of it.
    EXPECT_FALSE(EndsConnection(7, -EPIPE));
}

TEST(ConnectionConfig, RealTimeDataThreadByLibraryVersion) {
    EXPECT_EQ(RealTimeConfigName("0.3.65"), "client-rt.conf");
    EXPECT_EQ(RealTimeConfigName("1.2.7"), "client-rt.conf");
    EXPECT_EQ(RealTimeConfigName("1.3.80"), "client-rt.conf");
    EXPECT_EQ(RealTimeConfigName("1.3.81"), std::nullopt);
    EXPECT_EQ(RealTimeConfigName("1.4.2"), std::nullopt);
    EXPECT_EQ(RealTimeConfigName("2.0.0"), std::nullopt);
    EXPECT_EQ(RealTimeConfigName("garbled"), std::nullopt);
    EXPECT_EQ(RealTimeConfigName(nullptr), std::nullopt);
}

}  // namespace
