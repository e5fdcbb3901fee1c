#pragma once
// Texts and figures the History window's parts share: durations, local times, rates from rate
// codes, the spans with the link down, and the captions of events.

#include <QString>

#include <utility>
#include <vector>

#include "history/history_store.h"
#include "pages/history/history_window.h"

namespace brix::history_text {

QString localTime(history::Millis t, const char* format = "yyyy-MM-dd HH:mm:ss");

// "Link down", "Modem message": the kind as the list and the tooltips name it.
QString eventCaption(history::EventKind kind);

// "Caption: text (program)", the program only when known: a marker's tooltip.
QString eventText(const history::Event& e);

}  // namespace brix::history_text
