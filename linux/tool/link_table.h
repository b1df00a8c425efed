// The graph as the capture sees it, and the links it wants: every output port
// of a captured stream joined to the capture's input port of the same
// channel. Pure bookkeeping: PipeWire events go in, links to create or drop
// come out, so the rules can be checked without a server.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

struct LinkEnds {
    uint32_t outputNode;
    uint32_t outputPort;
    uint32_t inputNode;
    uint32_t inputPort;

    bool operator<(const LinkEnds& other) const { return Tied() < other.Tied(); }
    bool operator==(const LinkEnds& other) const { return Tied() == other.Tied(); }

private:
    std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> Tied() const {
        return std::tie(outputNode, outputPort, inputNode, inputPort);
    }
};

// The capture node's input ports, one per position: stereo, and the 5.1 and
// 7.1 layouts that sinks have. A stream on a sink gets output ports in the
// sink's layout; each goes to the capture port of its own position, and the
// capture node's converter downmixes them to stereo with the same
// coefficients PipeWire uses for a stream played on a stereo sink.
inline constexpr std::string_view kCaptureChannels[] = {"FL", "FR", "FC", "LFE",
                                                        "RL", "RR", "SL", "SR"};

// The capture's channels that an output port of the given audio.channel
// feeds: its own position; both front channels for a mono output (the sound
// of a mono sink, as a stereo recording of that sink hears it); none for
// positions the capture has no port for (aux and height channels).
std::vector<std::string_view> CaptureChannelsFor(std::string_view outputChannel);

class LinkTable {
public:
    enum class Direction { kInput, kOutput };

    // A port: its node, direction and audio.channel.
    std::vector<LinkEnds> AddPort(uint32_t port, uint32_t node, Direction direction,
                                  std::string channel);
    // An output port that carries several channels (a JACK port that feeds
    // several sink ports), or that changed the channels it carries.
    std::vector<LinkEnds> AddPort(uint32_t port, uint32_t node, Direction direction,
                                  std::vector<std::string> channels);
    // The links of an output port that its channels no longer want (they
    // changed, or it carries nothing now): forgotten, and returned so that
    // their handles can be dropped.
    std::vector<LinkEnds> DropUnwanted(uint32_t port);
    // A stream node whose sound is to be captured.
    std::vector<LinkEnds> CaptureNode(uint32_t node);
    // A stream node no longer to be captured: its links, to be dropped.
    std::vector<LinkEnds> ReleaseNode(uint32_t node);
    // The capture's own node; its input ports are where captured sound goes.
    std::vector<LinkEnds> SetCaptureNode(uint32_t node);
    // A global (node or port) went away: the links that touched it are gone
    // and returned so that their handles can be dropped.
    std::vector<LinkEnds> Remove(uint32_t id);
    // A link that could not be made or has gone: forget it.
    void ForgetLink(const LinkEnds& link);

    const std::set<LinkEnds>& Links() const { return links_; }

private:
    struct Port {
        uint32_t node;
        Direction direction;
        std::vector<std::string> channels;
    };

    // The links wanted for one output port that do not exist yet; records them.
    std::vector<LinkEnds> LinksForOutput(uint32_t port, const Port& output);

    static constexpr uint32_t kNoNode = UINT32_MAX;

    std::map<uint32_t, Port> ports_;
    std::set<uint32_t> capturedNodes_;
    uint32_t captureNode_ = kNoNode;
    std::set<LinkEnds> links_;
};
