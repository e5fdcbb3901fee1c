#pragma once
// Whether the modem is heard, told to the link's subscribers as LinkSilent, LinkHeard and
// LinkGap (link_events.h). The reader of the link's port notes each batch of frames it takes
// (the owner's relay, or the link itself); the link thread looks for a silence at each pass, so
// that nothing else has to wake to find one.

#include <cstdint>

namespace brix {

// A silence longer than this and shorter than the link-down threshold is a gap: two RF periods.
inline constexpr std::int64_t kLinkGapAfterMs = 6000;

// Frames of the modem were just taken from the link's port (or from the owner, attached).
void noteLinkHeard();
// Declares the silence once nothing was heard for kLinkSilentAfterMs. Link thread.
void checkLinkSilence();
// Milliseconds until checkLinkSilence has a silence to tell; -1 when it has none to look for
// (nothing heard yet, or the silence was told). For a link thread that sleeps until then.
std::int64_t msUntilLinkSilence();
// Unix ms of the last frame heard; 0 when none was since the link opened.
std::int64_t linkLastHeardMs();
// Forgets what was heard (the link opens anew).
void resetLinkPresence();

}  // namespace brix
