// The links this client makes from captured ports to the capture's ports,
// one proxy each. The server removes a link when one of its ports goes, and
// removes them all when this client goes (they do not linger).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "linux/pipewire/pipewire_api.h"
#include "linux/tool/link_table.h"

class CaptureLinks {
public:
    // Told of a link the server removed or refused; its proxy is gone by then.
    using GoneHandler = std::function<void(const LinkEnds& ends)>;

    explicit CaptureLinks(GoneHandler onGone);
    ~CaptureLinks();
    CaptureLinks(const CaptureLinks&) = delete;
    CaptureLinks& operator=(const CaptureLinks&) = delete;

    // Asks the server for each link; returns those that could not even be
    // asked for.
    std::vector<LinkEnds> Create(pw_core* core, const std::vector<LinkEnds>& wanted);
    void Drop(const std::vector<LinkEnds>& gone);
    void Clear();

private:
    struct Link;

    void OnGone(LinkEnds ends);  // a copy: the link holding it goes first

    static const pw_proxy_events kLinkEvents;

    GoneHandler onGone_;
    std::map<LinkEnds, std::unique_ptr<Link>> links_;
};
