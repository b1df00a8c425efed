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
// The host pid the claim stands for (a player in a sandbox says kClaimed).
constexpr uint32_t kClaimedOnHost = 9001;

StreamOwnerFacts Facts(std::optional<uint32_t> socketPid, bool runsPipeWire, bool fromBridge,
                       std::optional<uint32_t> claimed) {
    StreamOwnerFacts facts;
    facts.clientSocketPid = socketPid;
    facts.socketPidRunsPipeWire = runsPipeWire;
    facts.fromPulseBridge = fromBridge;
    facts.claimedPid = claimed;
    facts.claimedBinary = "paplay";
    facts.flatpakAppId = "org.example.Player";
    return facts;
}

struct OwnerCase {
    const char* what;
    StreamOwnerFacts facts;
    std::optional<uint32_t> owner;
};

TEST(StreamOwner, NativeAndBridgeClients) {
    const OwnerCase cases[] = {
        {"native client: its socket pid", Facts(kPlayer, false, false, std::nullopt), kPlayer},
        {"native client's node claims another pid", Facts(kPlayer, false, false, kClaimed),
         kPlayer},
        {"native client claims to be the bridge", Facts(kPlayer, false, true, kClaimed), kPlayer},
        {"a PipeWire process's own stream, no bridge claim", Facts(kBridge, true, false, kClaimed),
         kBridge},
        {"bridge client: the host process its claim stands for",
         Facts(kBridge, true, true, kClaimed), kClaimedOnHost},
        {"bridge client whose claim stands for no host process",
         Facts(kBridge, true, true, kClaimed + 1), std::nullopt},
        {"bridge client naming no player: the bridge", Facts(kBridge, true, true, std::nullopt),
         kBridge},
        {"client unknown: the node's claim is all there is",
         Facts(std::nullopt, false, true, kClaimed), kClaimedOnHost},
        {"nothing known", Facts(std::nullopt, false, false, std::nullopt), std::nullopt},
    };
    // The claim reaches the resolver whole: pid, binary and application id.
    const PidClaimResolver resolve = [](const PidClaim& claim) -> std::optional<uint32_t> {
        if (claim.pid == kClaimed && claim.binary == "paplay" &&
            claim.flatpakAppId == "org.example.Player") {
            return kClaimedOnHost;
        }
        return std::nullopt;
    };
    for (const OwnerCase& c : cases) {
        EXPECT_EQ(StreamOwnerPid(c.facts, resolve), c.owner) << c.what;
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
