#include "linux/tool/link_table.h"

#include <algorithm>
#include <iterator>
#include <utility>

std::vector<std::string_view> CaptureChannelsFor(std::string_view outputChannel) {
    if (outputChannel == "MONO") return {"FL", "FR"};
    if (std::find(std::begin(kCaptureChannels), std::end(kCaptureChannels), outputChannel) !=
        std::end(kCaptureChannels))
        return {outputChannel};
    return {};
}

std::vector<LinkEnds> LinkTable::AddPort(uint32_t port, uint32_t node, Direction direction,
                                         std::string channel) {
    return AddPort(port, node, direction, std::vector<std::string>{std::move(channel)});
}

std::vector<LinkEnds> LinkTable::AddPort(uint32_t port, uint32_t node, Direction direction,
                                         std::vector<std::string> channels) {
    const auto where =
        ports_.insert_or_assign(port, Port{node, direction, std::move(channels)}).first;
    std::vector<LinkEnds> wanted;
    if (direction == Direction::kOutput) {
        if (capturedNodes_.count(node) != 0) wanted = LinksForOutput(port, where->second);
    } else if (node == captureNode_) {
        // A capture input arriving after the outputs it is to receive.
        for (const auto& [id, other] : ports_) {
            if (other.direction != Direction::kOutput || capturedNodes_.count(other.node) == 0)
                continue;
            for (const LinkEnds& link : LinksForOutput(id, other))
                wanted.push_back(link);
        }
    }
    return wanted;
}

std::vector<LinkEnds> LinkTable::DropUnwanted(uint32_t port) {
    std::vector<LinkEnds> gone;
    const auto output = ports_.find(port);
    if (output == ports_.end()) return gone;
    std::vector<std::string_view> wanted;
    for (const std::string& channel : output->second.channels) {
        for (std::string_view capture : CaptureChannelsFor(channel))
            wanted.push_back(capture);
    }
    for (auto link = links_.begin(); link != links_.end();) {
        const auto input = ports_.find(link->inputPort);
        const bool keep =
            link->outputPort != port || (input != ports_.end() && !input->second.channels.empty() &&
                                         std::find(wanted.begin(), wanted.end(),
                                                   input->second.channels.front()) != wanted.end());
        if (keep) {
            ++link;
        } else {
            gone.push_back(*link);
            link = links_.erase(link);
        }
    }
    return gone;
}

std::vector<LinkEnds> LinkTable::CaptureNode(uint32_t node) {
    capturedNodes_.insert(node);
    std::vector<LinkEnds> wanted;
    for (const auto& [id, port] : ports_) {
        if (port.node != node || port.direction != Direction::kOutput) continue;
        for (const LinkEnds& link : LinksForOutput(id, port))
            wanted.push_back(link);
    }
    return wanted;
}

std::vector<LinkEnds> LinkTable::ReleaseNode(uint32_t node) {
    capturedNodes_.erase(node);
    std::vector<LinkEnds> gone;
    for (auto link = links_.begin(); link != links_.end();) {
        if (link->outputNode == node) {
            gone.push_back(*link);
            link = links_.erase(link);
        } else {
            ++link;
        }
    }
    return gone;
}

std::vector<LinkEnds> LinkTable::SetCaptureNode(uint32_t node) {
    captureNode_ = node;
    std::vector<LinkEnds> wanted;
    for (const auto& [id, port] : ports_) {
        if (port.direction != Direction::kOutput || capturedNodes_.count(port.node) == 0) continue;
        for (const LinkEnds& link : LinksForOutput(id, port))
            wanted.push_back(link);
    }
    return wanted;
}

std::vector<LinkEnds> LinkTable::Remove(uint32_t id) {
    ports_.erase(id);
    // Ids are reused: a node's ports must not outlive it and join a newcomer.
    for (auto port = ports_.begin(); port != ports_.end();) {
        port = port->second.node == id ? ports_.erase(port) : std::next(port);
    }
    capturedNodes_.erase(id);
    if (id == captureNode_) captureNode_ = kNoNode;
    std::vector<LinkEnds> gone;
    for (auto link = links_.begin(); link != links_.end();) {
        if (link->outputNode == id || link->outputPort == id || link->inputNode == id ||
            link->inputPort == id) {
            gone.push_back(*link);
            link = links_.erase(link);
        } else {
            ++link;
        }
    }
    return gone;
}

void LinkTable::ForgetLink(const LinkEnds& link) {
    links_.erase(link);
}

std::vector<LinkEnds> LinkTable::LinksForOutput(uint32_t port, const Port& output) {
    std::vector<LinkEnds> wanted;
    if (captureNode_ == kNoNode) return wanted;
    for (const std::string& outputChannel : output.channels) {
        for (std::string_view channel : CaptureChannelsFor(outputChannel)) {
            for (const auto& [id, input] : ports_) {
                if (input.node != captureNode_ || input.direction != Direction::kInput ||
                    input.channels.empty() || input.channels.front() != channel)
                    continue;
                const LinkEnds link{output.node, port, captureNode_, id};
                if (links_.insert(link).second) wanted.push_back(link);
            }
        }
    }
    return wanted;
}
