#include "framework/help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>

#include <mutex>
#include <utility>

namespace fw {

namespace {

std::mutex openerMutex;
std::function<bool(const QUrl&)> opener;

}  // namespace

QString helpDocumentPath() {
    // Installed: <prefix>/bin/brixtool and <prefix>/share/brixtool/help/. The build tree keeps
    // a copy at the same place relative to its top, where app/brixtool lives one level down.
    if (QCoreApplication::instance() != nullptr) {
        const QDir exeDir(QCoreApplication::applicationDirPath());
        const QString installed = exeDir.absoluteFilePath(QStringLiteral("../") +
                                                          QStringLiteral(BRIX_HELP_RELATIVE_PATH));
        if (QFileInfo::exists(installed))
            return QFileInfo(installed).canonicalFilePath();
    }
    const QString built = QStringLiteral(BRIX_HELP_BUILD_PATH);
    if (QFileInfo::exists(built))
        return QFileInfo(built).canonicalFilePath();
    return {};
}

QUrl helpUrl(int context) {
    const QString path = helpDocumentPath();
    if (path.isEmpty())
        return {};
    if (context < 1 || context > 4)
        return QUrl::fromLocalFile(path);
    // The topic's own page beside the document: the generic opener turns a file URL into a
    // path and loses its "#" part, so an anchor alone would open the document at its top.
    const QFileInfo topic(QFileInfo(path).dir(), QStringLiteral("context-%1.html").arg(context));
    if (topic.exists())
        return QUrl::fromLocalFile(topic.canonicalFilePath());
    QUrl url = QUrl::fromLocalFile(path);
    url.setFragment(QStringLiteral("context-%1").arg(context));
    return url;
}

bool openHelp(int context) {
    const QUrl url = helpUrl(context);
    if (url.isEmpty())
        return false;
    std::function<bool(const QUrl&)> hook;
    {
        std::lock_guard lock(openerMutex);
        hook = opener;
    }
    if (hook)
        return hook(url);
    return QDesktopServices::openUrl(url);
}

void setHelpOpener(std::function<bool(const QUrl&)> newOpener) {
    std::lock_guard lock(openerMutex);
    opener = std::move(newOpener);
}

}  // namespace fw
