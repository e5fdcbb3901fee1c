// Wait cursor and help.
#include <QFile>
#include <QGuiApplication>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "framework/cursor.h"
#include "framework/help.h"

namespace {

using namespace std::chrono_literals;

Qt::CursorShape overrideShape() {
    const QCursor* c = QGuiApplication::overrideCursor();
    return c == nullptr ? Qt::ArrowCursor : c->shape();
}

TEST(WaitCursor, RestoreReturnsToTheSavedCursorNotOneLevelUp) {
    ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
    const fw::SavedCursor first = fw::beginWaitCursor();
    EXPECT_TRUE(first.isEmpty());
    EXPECT_EQ(overrideShape(), Qt::WaitCursor);
    const fw::SavedCursor second = fw::beginWaitCursor();  // a second request before any reply
    EXPECT_FALSE(second.isEmpty());
    fw::restoreCursor(first);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);  // not stuck one level up
    fw::restoreCursor(fw::SavedCursor());  // an empty slot: normal cursor, nothing to undo
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(WaitCursor, RestoreFromAnotherThreadIsCarriedToTheUiThread) {
    const fw::SavedCursor saved = fw::beginWaitCursor();
    std::async(std::launch::async, [saved] { fw::restoreCursor(saved); }).wait();
    EXPECT_TRUE(QTest::qWaitFor([] { return QGuiApplication::overrideCursor() == nullptr; }, 2000));
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
    EXPECT_TRUE(opened[0].isLocalFile());
    EXPECT_EQ(opened[0].fragment(), "context-4");
    EXPECT_EQ(opened[1].fragment(), "context-1");
    EXPECT_TRUE(opened[2].fragment().isEmpty());
    EXPECT_TRUE(opened[0].toLocalFile().endsWith("brixtool/help/brixtool.html"));
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
