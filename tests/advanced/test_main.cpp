// The page tests run with a real QApplication on the offscreen platform.
#include <QApplication>
#include <QDir>

#include <gtest/gtest.h>

#include "res/resources.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef BRIX_TEST_LOCALE_DIR
    // Where the suite builds its decimal-comma locale (the locale test looks there first).
    if (qEnvironmentVariableIsEmpty("LOCPATH") && QDir(BRIX_TEST_LOCALE_DIR).exists())
        qputenv("LOCPATH", BRIX_TEST_LOCALE_DIR);
#endif
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication app(argc, argv);
    fw::setResources(&res::resources());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
