// Wait cursor and help.
#include <QFile>
#include <QGuiApplication>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "framework/cursor.h"
#include "framework/help.h"

namespace {

using namespace std::chrono_literals;

bool normal(const QWidget& w) {
    return w.cursor().shape() == Qt::ArrowCursor;
}

TEST(WaitCursor, CoversOnlyThePagesWindowAndRestoresTheSavedCursorNotOneLevelUp) {
    QWidget window;
    auto* page = new QWidget(&window);
    QWidget question;  // another top-level window, as the give-up question is
    const fw::SavedCursor first = fw::beginWaitCursor(page);
    EXPECT_TRUE(first.isEmpty());
    EXPECT_EQ(window.cursor().shape(), Qt::WaitCursor);
    EXPECT_TRUE(normal(question));
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    const fw::SavedCursor second = fw::beginWaitCursor(page);  // a second request, no reply yet
    EXPECT_FALSE(second.isEmpty());
    fw::restoreCursor(first);
    EXPECT_TRUE(normal(window));           // not stuck one level up
    fw::restoreCursor(fw::SavedCursor());  // an empty slot: normal cursor, nothing to undo
    EXPECT_TRUE(normal(window));
}

TEST(WaitCursor, RestoreFromAnotherThreadIsCarriedToTheUiThread) {
    QWidget window;
    const fw::SavedCursor saved = fw::beginWaitCursor(&window);
    std::async(std::launch::async, [saved] { fw::restoreCursor(saved); }).wait();
    EXPECT_TRUE(QTest::qWaitFor([&] { return normal(window); }, 2000));
}

TEST(Help, OpensTheDocumentAtTheTopicOfTheContext) {
    std::vector<QUrl> opened;
    fw::setHelpOpener([&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    EXPECT_TRUE(fw::openHelp(4));
    EXPECT_TRUE(fw::openHelp(1));
    EXPECT_TRUE(fw::openHelp(9));  // no such topic: the document's start
    fw::setHelpOpener(nullptr);
    ASSERT_EQ(opened.size(), 3u);
    // A page per topic, without a "#" part that openers of file URLs drop.
    EXPECT_TRUE(opened[0].isLocalFile());
    EXPECT_TRUE(opened[0].fragment().isEmpty());
    EXPECT_TRUE(opened[0].toLocalFile().endsWith("brixtool/help/context-4.html"));
    EXPECT_TRUE(opened[1].toLocalFile().endsWith("brixtool/help/context-1.html"));
    EXPECT_TRUE(opened[2].fragment().isEmpty());
    EXPECT_TRUE(opened[2].toLocalFile().endsWith("brixtool/help/brixtool.html"));
    // Each topic's page forwards to its anchor in the document.
    for (int context = 1; context <= 4; ++context) {
        QFile page(fw::helpUrl(context).toLocalFile());
        ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << context;
        const QString html = QString::fromUtf8(page.readAll());
        EXPECT_TRUE(html.contains(QStringLiteral("url=brixtool.html#context-%1\"").arg(context)))
            << context;
    }
}

TEST(Help, TheDocumentHasTheFourTopics) {
    QFile file(fw::helpDocumentPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(file.readAll());
    for (const char* topic : {"Tuner", "Console", "Advanced", "Scanner"}) {
        EXPECT_TRUE(html.contains(QStringLiteral(">%1").arg(QLatin1String(topic)))) << topic;
    }
    for (int context = 1; context <= 4; ++context) {
        EXPECT_TRUE(html.contains(QStringLiteral("id=\"context-%1\"").arg(context))) << context;
    }
    // Every message the pages show is explained.
    for (const char* text :
         {"Cannot connect to the modem.", "Unavailable", "Enter Frequency",
          "Enable Statistics Messages", "Another instance of", "Cannot initialize sockets."}) {
        EXPECT_TRUE(html.contains(QLatin1String(text))) << text;
    }
}

}  // namespace
