// Runs the Console tests with a headless QApplication.

#include <QApplication>

#include <gtest/gtest.h>

#include "res/resources.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fw::setResources(&res::resources());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
