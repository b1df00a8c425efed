#include "linux/tool/capture_links.h"

#include <cstdio>
#include <iterator>
#include <utility>

// A link proxy with its one listener, removed before the proxy goes.
struct CaptureLinks::Link {
    CaptureLinks* owner = nullptr;
    LinkEnds ends{};
    ProxyPtr proxy;
    spa_hook listener{};

    ~Link() { spa_hook_remove(&listener); }
};

CaptureLinks::CaptureLinks(GoneHandler onGone) : onGone_(std::move(onGone)) {}

CaptureLinks::~CaptureLinks() = default;

void CaptureLinks::Clear() {
    links_.clear();
}

const pw_proxy_events CaptureLinks::kLinkEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    // The server removed the link (one of its ports went) or refused it. The
    // library holds the proxy while its event runs, so it can go here.
    events.removed = [](void* data) {
        auto* link = static_cast<Link*>(data);
        link->owner->OnGone(link->ends);
    };
    events.error = [](void* data, int, int, const char*) {
        auto* link = static_cast<Link*>(data);
        link->owner->OnGone(link->ends);
    };
    return events;
}();

std::vector<LinkEnds> CaptureLinks::Create(pw_core* core, const std::vector<LinkEnds>& wanted) {
    std::vector<LinkEnds> failed;
    for (const LinkEnds& ends : wanted) {
        char outputNode[16], outputPort[16], inputNode[16], inputPort[16];
        std::snprintf(outputNode, sizeof outputNode, "%u", ends.outputNode);
        std::snprintf(outputPort, sizeof outputPort, "%u", ends.outputPort);
        std::snprintf(inputNode, sizeof inputNode, "%u", ends.inputNode);
        std::snprintf(inputPort, sizeof inputPort, "%u", ends.inputPort);
        const spa_dict_item items[] = {
            {PW_KEY_LINK_OUTPUT_NODE, outputNode},
            {PW_KEY_LINK_OUTPUT_PORT, outputPort},
            {PW_KEY_LINK_INPUT_NODE, inputNode},
            {PW_KEY_LINK_INPUT_PORT, inputPort},
            // Gone with this client, however it ends.
            {PW_KEY_OBJECT_LINGER, "false"},
            // It keeps nothing running: a stream that no longer plays into
            // a sink stops as it would without the capture. Held by an
            // active link, such a stream ran on while the session manager
            // replaced its ports for another sink, and the server itself
            // ended (ports gone under running links; here at the second
            // removal of a 5.1 stream's sink).
            {PW_KEY_LINK_PASSIVE, "true"},
        };
        const spa_dict properties{0, static_cast<uint32_t>(std::size(items)), items};

        auto link = std::make_unique<Link>();
        link->owner = this;
        link->ends = ends;
        link->proxy.reset(CreateLink(core, &properties));
        if (!link->proxy) {
            failed.push_back(ends);
            continue;
        }
        pw_proxy_add_listener(link->proxy.get(), &link->listener, &kLinkEvents, link.get());
        links_[ends] = std::move(link);
    }
    return failed;
}

void CaptureLinks::Drop(const std::vector<LinkEnds>& gone) {
    for (const LinkEnds& ends : gone)
        links_.erase(ends);
}

void CaptureLinks::OnGone(LinkEnds ends) {
    links_.erase(ends);
    onGone_(ends);
}
