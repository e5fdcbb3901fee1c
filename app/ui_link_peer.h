#pragma once
// The link's way into the pages. The link thread calls these; each call is carried onto the
// user-interface thread through the framework's bridge and waits there until the page has
// handled it (or the bridge is cancelled at shutdown). On the user-interface thread itself
// (linkStart's error lines) the page is called at once.

#include <cstdint>

#include "link/link_peer.h"

namespace fw {
class UiBridge;
}

namespace brix {

class UiLinkPeer final : public LinkPeer {
public:
    explicit UiLinkPeer(fw::UiBridge& bridge);

    void addConsoleMessage(MessageKind kind, const char* text, bool log) override;
    void setMicrocodeVersion(const char* text) override;
    void setBootVersion(const char* text) override;
    int onChannelTableReply(const std::uint8_t* body, int giveUp) override;
    int onScannerReply(const std::uint8_t* body) override;
    void cancelPendingCalls() override;

private:
    fw::UiBridge& bridge_;
};

}  // namespace brix
