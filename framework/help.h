#pragma once
// The help document, opened in the desktop's viewer at a topic: context 1 Tuner, 2 Console,
// 3 Advanced, 4 Scanner (anchors "context-1" to "context-4"). Failures are not reported to the
// user; the result says whether a viewer could be started.

#include <QString>
#include <QUrl>

#include <functional>

namespace fw {

bool openHelp(int context);

// Where the document was found: next to the executable's prefix
// (<prefix>/share/brixtool/help/brixtool.html), else in the build tree. Empty when missing.
QString helpDocumentPath();

// The URL openHelp would open (file URL with the topic's fragment); empty when missing.
QUrl helpUrl(int context);

// Replaces the opener (the desktop's viewer) with `opener`, which receives the URL; nullptr
// restores the viewer.
void setHelpOpener(std::function<bool(const QUrl&)> opener);

}  // namespace fw
