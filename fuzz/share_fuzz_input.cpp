#include "fuzz/share_fuzz_input.h"

#include <cstdio>
#include <string>

#include "link/link_frame.h"
#include "link/link_share.h"
#include "link/share_internal.h"

namespace brix::fuzz {

namespace {

int problems = 0;

void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "share fuzz: %s: %zu bytes\n", what, text.size());
    ++problems;
}

// A text shown in a window or a terminal: nothing that drives the terminal, and bounded.
void checkShown(const char* what, const std::string& text, std::size_t most) {
    if (text.size() > most)
        fail(what, text);
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            fail(what, text);
            return;
        }
}

void greeting(const char* bytes, std::size_t size) {
    share::Greeting g;
    const bool ok = share::parseGreeting(bytes, size, g);
    checkShown("the owner's name", g.owner, 64);
    checkShown("why the link is full", g.full, 80);
    checkShown("why this program was dropped", g.dropped, 80);
    if (!ok && (!g.owner.empty() || !g.history.empty() || !g.dropped.empty()))
        fail("a refused greeting was taken in part", g.owner);
    if (ok && g.owner.find(" (pid ") == std::string::npos)
        fail("an owner without its pid", g.owner);
    // The store named is opened: a path of one line, nothing else.
    if (!g.history.empty() && (g.history[0] != '/' || g.history.find('\n') != std::string::npos ||
                               g.history.find('\0') != std::string::npos))
        fail("a store that is no path", g.history);
}

void frame(const std::uint8_t* bytes, std::size_t size) {
    if (size < kFrameHeaderSize || size > kOutboundFrameSize || readU16(bytes + 6) != kLinkMagic ||
        readU16(bytes + 8) >= kMessageTypeCount)
        return;  // the relay drops the program that sends it
    share::noteRequest(bytes, size, "brixctl");
    Request request;
    while (takeLinkRequest(request)) {
        checkShown("a request's text", request.text, 1024);
        if (request.program != "brixctl")
            fail("a request of another program", request.program);
    }
}

}  // namespace

int runShareInput(const std::uint8_t* data, std::size_t size) {
    problems = 0;
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0)
        greeting(reinterpret_cast<const char*>(data + 1), size - 1);
    else
        frame(data + 1, size - 1);
    return problems;
}

}  // namespace brix::fuzz
