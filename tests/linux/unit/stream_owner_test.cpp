// Which process plays a stream: the socket's pid for native clients, the
// node's claim only for streams the kernel shows came through the bridge.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "linux/pipewire/stream_owner.h"

namespace {

constexpr uint32_t kPlayer = 4000;
constexpr uint32_t kBridge = 300;
constexpr uint32_t kClaimed = 4242;

struct OwnerCase {
    const char* what;
    StreamOwnerFacts facts;
    std::optional<uint32_t> owner;
};

TEST(StreamOwner, NativeAndBridgeClients) {
    const OwnerCase cases[] = {
        {"native client: its socket pid", {kPlayer, false, false, std::nullopt}, kPlayer},
        {"native client's node claims another pid", {kPlayer, false, false, kClaimed}, kPlayer},
        {"native client claims to be the bridge", {kPlayer, false, true, kClaimed}, kPlayer},
        {"a PipeWire process's own stream, no bridge claim",
         {kBridge, true, false, kClaimed},
         kBridge},
        {"bridge client: the player it names", {kBridge, true, true, kClaimed}, kClaimed},
        {"bridge client naming no player: the bridge",
         {kBridge, true, true, std::nullopt},
         kBridge},
        {"client unknown: the node's claim is all there is",
         {std::nullopt, false, true, kClaimed},
         kClaimed},
        {"nothing known", {std::nullopt, false, false, std::nullopt}, std::nullopt},
    };
    for (const OwnerCase& c : cases) {
        EXPECT_EQ(StreamOwnerPid(c.facts), c.owner) << c.what;
    }
}

TEST(StreamOwner, NumberAndPidProperties) {
    EXPECT_EQ(ParsePidProperty("1234"), std::optional<uint32_t>(1234));
    EXPECT_EQ(ParseNumberProperty("0"), std::optional<uint32_t>(0));
    EXPECT_EQ(ParseNumberProperty("4294967295"), std::optional<uint32_t>(4294967295u));
    EXPECT_EQ(ParseNumberProperty("4294967296"), std::nullopt);
    EXPECT_EQ(ParseNumberProperty("7 "), std::nullopt);
    EXPECT_EQ(ParsePidProperty(nullptr), std::nullopt);
    for (const char* bad : {"", "0", "-5", "12x", " 12", "99999999999", "+3"}) {
        EXPECT_EQ(ParsePidProperty(bad), std::nullopt) << '"' << bad << '"';
    }
}

TEST(StreamOwner, ThePipeWireProgramIsRecognisedByItsExecutable) {
    char folder[] = "/tmp/harkwell-exe-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::filesystem::path root(folder);
    const auto process = [&](uint32_t pid, const char* exe) {
        std::filesystem::create_directory(root / std::to_string(pid));
        std::filesystem::create_symlink(exe, root / std::to_string(pid) / "exe");
    };
    process(10, "/usr/bin/pipewire");
    process(11, "/usr/local/bin/pipewire-pulse");
    process(12, "/usr/bin/pipewire (deleted)");
    process(20, "/usr/bin/pw-play");
    process(21, "/home/user/pipewire-fake/player");
    process(22, "/usr/bin/mypipewire");
    for (uint32_t pid : {10u, 11u, 12u})
        EXPECT_TRUE(RunsPipeWire(folder, pid)) << pid;
    for (uint32_t pid : {20u, 21u, 22u, 99u})
        EXPECT_FALSE(RunsPipeWire(folder, pid)) << pid;
    std::filesystem::remove_all(root);

    // This test program is not PipeWire.
    EXPECT_FALSE(RunsPipeWire("/proc", static_cast<uint32_t>(getpid())));
}

}  // namespace
