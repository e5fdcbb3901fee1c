#pragma once
// Texts and figures the History window's parts share: durations, local times, rates from rate
// codes, the spans with the link down, and the captions of events.

#include <QString>

#include <utility>
#include <vector>

#include "history/history_store.h"
#include "pages/history/history_window.h"

namespace brix::history_text {

// Mbit/s of an RF report's rate code (a mean of codes rounded), 0 for a code without a rate.
double codeMbps(double code);

// "3 min 10 s", "2 h", "1 d 4 h": the two largest units, the second left out when zero.
QString duration(history::Millis ms);

QString localTime(history::Millis t, const char* format = "yyyy-MM-dd HH:mm:ss");

// The spans with the link down: from each link-down to the next link-up, the range's end when
// none came. A link-up first means the link was down when the range began.
std::vector<std::pair<history::Millis, history::Millis>> downSpans(const HistoryWindow::Data& d);

// "Link down", "Modem message": the kind as the list and the tooltips name it.
QString eventCaption(history::EventKind kind);

// "Caption: text (program)", the program only when known: a marker's tooltip.
QString eventText(const history::Event& e);

}  // namespace brix::history_text
