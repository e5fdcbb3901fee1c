#pragma once
// The link's only way out to the user interface. The link thread calls these while it runs; the
// application plugs in the real pages, another program plugs in its own.

#include <cstdint>

namespace brix {

// Source of a Console row; also the index of its picture.
enum class MessageKind : int { Embedded = 0, Driver = 1, Application = 2, Error = 3 };

class LinkPeer {
public:
    virtual ~LinkPeer() = default;

    // One Console row; `log` asks for a line in the message log as well.
    virtual void addConsoleMessage(MessageKind kind, const char* text, bool log) = 0;

    // The two version fields: Advanced page control 1036 and Scanner page control 1055.
    virtual void setMicrocodeVersion(const char* text) = 0;
    virtual void setBootVersion(const char* text) = 0;

    // Channel-table answer (30-byte body, giveUp 0) or give-up (body null, giveUp 1).
    // Returns the new pending flag after a give-up: 1 Retry, 0 Cancel.
    virtual int onChannelTableReply(const std::uint8_t* body, int giveUp) = 0;

    // Scanner answer (2-byte body) or give-up (body null). Same result rule.
    virtual int onScannerReply(const std::uint8_t* body) = 0;

    // Called by linkStop on the user-interface thread after the stop flag is set and before it
    // joins the link thread. Must release a link-thread call that waits on the user interface
    // (a page update or an open give-up question) and make every later call return at once,
    // so that the join cannot hang. Calls released this way have no effect on the pages.
    virtual void cancelPendingCalls() = 0;
};

}  // namespace brix
