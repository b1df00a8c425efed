// The links the capture wants, as ports, streams and its own node come and go
// in any order.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "linux/tool/link_table.h"

namespace {

using Direction = LinkTable::Direction;

constexpr uint32_t kCapture = 50, kCaptureFL = 51, kCaptureFR = 52;
constexpr uint32_t kPlayer = 60, kPlayerFL = 61, kPlayerFR = 62;

std::vector<LinkEnds> Sorted(std::vector<LinkEnds> links) {
    std::sort(links.begin(), links.end());
    return links;
}

void AddCapture(LinkTable& table) {
    table.SetCaptureNode(kCapture);
    table.AddPort(kCaptureFL, kCapture, Direction::kInput, "FL");
    table.AddPort(kCaptureFR, kCapture, Direction::kInput, "FR");
}

const std::vector<LinkEnds> kStereoLinks = {{kPlayer, kPlayerFL, kCapture, kCaptureFL},
                                            {kPlayer, kPlayerFR, kCapture, kCaptureFR}};

TEST(LinkTable, ChannelsGoToTheirOwnPosition) {
    // Every surround position has a capture port of its own (the capture's
    // converter downmixes); mono goes to both sides; the rest has no place.
    const struct {
        const char* output;
        std::vector<std::string_view> capture;
    } cases[] = {
        {"FL", {"FL"}},   {"FR", {"FR"}}, {"FC", {"FC"}},
        {"LFE", {"LFE"}}, {"RL", {"RL"}}, {"RR", {"RR"}},
        {"SL", {"SL"}},   {"SR", {"SR"}}, {"MONO", {"FL", "FR"}},
        {"AUX0", {}},     {"TFL", {}},    {"UNK", {}},
        {"", {}},         {"fl", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CaptureChannelsFor(c.output), c.capture) << c.output;
    }
}

TEST(LinkTable, EveryOrderOfArrivalGivesTheSameLinks) {
    // The five events a stereo capture of one stream needs, in every order.
    enum Event { kCaptureNode, kCaptureInputs, kPlayerCaptured, kPlayerLeft, kPlayerRight };
    std::vector<int> order = {kCaptureNode, kCaptureInputs, kPlayerCaptured, kPlayerLeft,
                              kPlayerRight};
    int orders = 0;
    do {
        LinkTable table;
        std::vector<LinkEnds> created;
        const auto take = [&](std::vector<LinkEnds> links) {
            created.insert(created.end(), links.begin(), links.end());
        };
        for (int event : order) {
            switch (event) {
            case kCaptureNode:
                take(table.SetCaptureNode(kCapture));
                break;
            case kCaptureInputs:
                take(table.AddPort(kCaptureFL, kCapture, Direction::kInput, "FL"));
                take(table.AddPort(kCaptureFR, kCapture, Direction::kInput, "FR"));
                break;
            case kPlayerCaptured:
                take(table.CaptureNode(kPlayer));
                break;
            case kPlayerLeft:
                take(table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "FL"));
                break;
            case kPlayerRight:
                take(table.AddPort(kPlayerFR, kPlayer, Direction::kOutput, "FR"));
                break;
            }
        }
        EXPECT_EQ(Sorted(created), kStereoLinks);  // each link exactly once
        ++orders;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(orders, 120);
}

TEST(LinkTable, StreamsNotCapturedAndForeignPortsGetNoLinks) {
    LinkTable table;
    AddCapture(table);
    EXPECT_TRUE(table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "FL").empty());
    // Another node's input ports and monitor-like outputs of uncaptured nodes.
    EXPECT_TRUE(table.AddPort(70, 69, Direction::kInput, "FL").empty());
    EXPECT_TRUE(table.AddPort(71, 69, Direction::kOutput, "FR").empty());
    // The capture's own output side, should it have one, is never an input.
    EXPECT_TRUE(table.AddPort(53, kCapture, Direction::kOutput, "FL").empty());
    EXPECT_TRUE(table.Links().empty());
}

TEST(LinkTable, APortThatFeedsSeveralSinkChannelsIsHeardInEach) {
    LinkTable table;
    AddCapture(table);
    table.CaptureNode(kPlayer);
    EXPECT_EQ(table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, std::vector<std::string>{"FL"}),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFL, kCapture, kCaptureFL}}));
    // Linked to the sink's right side too: only the new link is wanted.
    EXPECT_EQ(
        table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, std::vector<std::string>{"FL", "FR"}),
        (std::vector<LinkEnds>{{kPlayer, kPlayerFL, kCapture, kCaptureFR}}));
}

TEST(LinkTable, AReleasedStreamLosesItsLinks) {
    LinkTable table;
    AddCapture(table);
    table.CaptureNode(kPlayer);
    table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "FL");
    table.AddPort(kPlayerFR, kPlayer, Direction::kOutput, "FR");
    table.CaptureNode(70);
    table.AddPort(71, 70, Direction::kOutput, "FL");
    EXPECT_EQ(Sorted(table.ReleaseNode(kPlayer)), kStereoLinks);
    EXPECT_EQ(table.Links(), (std::set<LinkEnds>{{70, 71, kCapture, kCaptureFL}}));
    // Its ports are still known: captured again, it is linked again.
    EXPECT_EQ(Sorted(table.CaptureNode(kPlayer)), kStereoLinks);
}

TEST(LinkTable, MonoAndSurroundOutputs) {
    LinkTable table;
    AddCapture(table);
    table.CaptureNode(kPlayer);
    EXPECT_EQ(Sorted(table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "MONO")),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFL, kCapture, kCaptureFL},
                                     {kPlayer, kPlayerFL, kCapture, kCaptureFR}}));
    // The capture has no LFE port here: nothing to link it to.
    EXPECT_TRUE(table.AddPort(63, kPlayer, Direction::kOutput, "LFE").empty());
    EXPECT_EQ(table.Links().size(), 2u);
}

TEST(LinkTable, SurroundStreamJoinsEveryCapturePosition) {
    // A stream on a 5.1 sink and a capture with a port per position: each
    // output meets the port of its position, never another one.
    LinkTable table;
    table.SetCaptureNode(kCapture);
    const char* const layout[] = {"FL", "FR", "FC", "LFE", "RL", "RR"};
    uint32_t port = 100;
    for (std::string_view channel : kCaptureChannels) {
        table.AddPort(port++, kCapture, Direction::kInput, std::string(channel));
    }
    table.CaptureNode(kPlayer);
    std::vector<LinkEnds> expected;
    for (uint32_t i = 0; i < std::size(layout); ++i) {
        const uint32_t output = 200 + i;
        const uint32_t input =
            100 + static_cast<uint32_t>(std::find(std::begin(kCaptureChannels),
                                                  std::end(kCaptureChannels), layout[i]) -
                                        std::begin(kCaptureChannels));
        EXPECT_EQ(table.AddPort(output, kPlayer, Direction::kOutput, layout[i]),
                  (std::vector<LinkEnds>{{kPlayer, output, kCapture, input}}))
            << layout[i];
        expected.push_back({kPlayer, output, kCapture, input});
    }
    EXPECT_EQ(std::vector<LinkEnds>(table.Links().begin(), table.Links().end()), Sorted(expected));
}

TEST(LinkTable, RemovalsReturnTheLinksThatWent) {
    LinkTable table;
    AddCapture(table);
    table.CaptureNode(kPlayer);
    table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "FL");
    table.AddPort(kPlayerFR, kPlayer, Direction::kOutput, "FR");
    const uint32_t kOther = 80, kOtherFL = 81;
    table.CaptureNode(kOther);
    table.AddPort(kOtherFL, kOther, Direction::kOutput, "FL");
    ASSERT_EQ(table.Links().size(), 3u);

    // A port goes: its link goes.
    EXPECT_EQ(table.Remove(kPlayerFR),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFR, kCapture, kCaptureFR}}));
    // A node goes: every link of it, and its ports are forgotten, so a new
    // node that reuses the id starts clean.
    EXPECT_EQ(table.Remove(kPlayer),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFL, kCapture, kCaptureFL}}));
    EXPECT_TRUE(table.CaptureNode(kPlayer).empty());
    EXPECT_TRUE(table.Remove(999).empty());
    // A capture input goes: the links into it.
    EXPECT_EQ(table.Remove(kCaptureFL),
              (std::vector<LinkEnds>{{kOther, kOtherFL, kCapture, kCaptureFL}}));
    EXPECT_TRUE(table.Links().empty());
}

TEST(LinkTable, AForgottenLinkComesBackOnlyWithItsPort) {
    LinkTable table;
    AddCapture(table);
    table.CaptureNode(kPlayer);
    const std::vector<LinkEnds> first = table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "FL");
    ASSERT_EQ(first.size(), 1u);
    table.ForgetLink(first[0]);
    EXPECT_TRUE(table.Links().empty());
    // Other arrivals do not bring it back...
    EXPECT_EQ(table.AddPort(kPlayerFR, kPlayer, Direction::kOutput, "FR").size(), 1u);
    EXPECT_EQ(table.Links().size(), 1u);
    // ...the port announced again does.
    EXPECT_EQ(table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "FL"), first);
}

}  // namespace

namespace {

TEST(LinkTable, APortThatCarriesNothingNowLosesItsLinks) {
    // A stream port first taken for a channel of its own, then found to
    // carry only copies (its stream's format came after it).
    constexpr uint32_t kCaptureFC = 53, kPlayerFC = 63;
    LinkTable table;
    AddCapture(table);
    table.AddPort(kCaptureFC, kCapture, Direction::kInput, "FC");
    table.CaptureNode(kPlayer);
    EXPECT_EQ(table.AddPort(kPlayerFC, kPlayer, Direction::kOutput, "FC"),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFC, kCapture, kCaptureFC}}));
    EXPECT_TRUE(table.DropUnwanted(kPlayerFC).empty());  // still wanted
    EXPECT_TRUE(
        table.AddPort(kPlayerFC, kPlayer, Direction::kOutput, std::vector<std::string>{}).empty());
    EXPECT_EQ(table.DropUnwanted(kPlayerFC),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFC, kCapture, kCaptureFC}}));
    EXPECT_TRUE(table.Links().empty());
    // Carrying a channel again, it is linked again.
    EXPECT_EQ(table.AddPort(kPlayerFC, kPlayer, Direction::kOutput, "FC"),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFC, kCapture, kCaptureFC}}));
    // A mono port keeps both sides; one that moves from FL to FR loses FL.
    EXPECT_EQ(table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "MONO").size(), 2u);
    EXPECT_TRUE(table.DropUnwanted(kPlayerFL).empty());
    table.AddPort(kPlayerFL, kPlayer, Direction::kOutput, "FR");
    EXPECT_EQ(table.DropUnwanted(kPlayerFL),
              (std::vector<LinkEnds>{{kPlayer, kPlayerFL, kCapture, kCaptureFL}}));
}

}  // namespace
