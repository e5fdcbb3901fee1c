#include "app/ui_link_peer.h"

#include <QString>

#include <array>
#include <cstring>
#include <string>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "framework/ui_bridge.h"
#include "pages/advanced/brix_advanced.h"
#include "pages/console/brix_debug.h"
#include "pages/scanner/brix_scanner.h"

namespace brix {

namespace {

constexpr std::size_t kChannelTableBody = 30;
constexpr std::size_t kScannerBody = 2;

// The page objects exist only while the main window does.
MainDialog* window() {
    return theApp.mainDialog;
}

// Version texts come from the modem as bytes; every byte shows as some character.
QString modemText(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

UiLinkPeer::UiLinkPeer(fw::UiBridge& bridge) : bridge_(bridge) {}

// The caller's buffers are gone (or reused by the link thread) once a cancelled call returns,
// so each call carries its own copies.

void UiLinkPeer::addConsoleMessage(MessageKind kind, const char* text, bool log) {
    std::string copy = text != nullptr ? text : "";
    bridge_.run([kind, copy = std::move(copy), log] {
        if (MainDialog* w = window(); w != nullptr && w->consolePage != nullptr)
            w->consolePage->addConsoleMessage(kind, copy.c_str(), log);
    });
}

void UiLinkPeer::setMicrocodeVersion(const char* text) {
    std::string copy = text != nullptr ? text : "";
    bridge_.run([copy = std::move(copy)] {
        if (MainDialog* w = window(); w != nullptr && w->advancedPage != nullptr)
            w->advancedPage->setItemText(BrixAdvanced::kMicrocodeVersionId, modemText(copy));
    });
}

void UiLinkPeer::setBootVersion(const char* text) {
    std::string copy = text != nullptr ? text : "";
    bridge_.run([copy = std::move(copy)] {
        if (MainDialog* w = window(); w != nullptr && w->scannerPage != nullptr)
            w->scannerPage->setItemText(BrixScanner::kBootVersionId, modemText(copy));
    });
}

int UiLinkPeer::onChannelTableReply(const std::uint8_t* body, int giveUp) {
    const bool hasBody = body != nullptr;
    std::array<std::uint8_t, kChannelTableBody> data{};
    if (hasBody)
        std::memcpy(data.data(), body, data.size());
    return bridge_
        .call([hasBody, data, giveUp]() -> int {
            MainDialog* w = window();
            if (w == nullptr || w->advancedPage == nullptr)
                return 0;
            return w->advancedPage->onChannelTableReply(hasBody ? data.data() : nullptr, giveUp);
        })
        .value_or(0);
}

int UiLinkPeer::onScannerReply(const std::uint8_t* body) {
    const bool hasBody = body != nullptr;
    std::array<std::uint8_t, kScannerBody> data{};
    if (hasBody)
        std::memcpy(data.data(), body, data.size());
    return bridge_
        .call([hasBody, data]() -> int {
            MainDialog* w = window();
            if (w == nullptr || w->scannerPage == nullptr)
                return 0;
            return w->scannerPage->onScannerReply(hasBody ? data.data() : nullptr);
        })
        .value_or(0);
}

void UiLinkPeer::cancelPendingCalls() {
    bridge_.cancelAll();
}

}  // namespace brix
