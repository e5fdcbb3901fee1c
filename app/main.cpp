// brixtool: the cable modem diagnostic and control tool.

#include <QApplication>

#include <string>

#include "app/tool_app.h"

int main(int argc, char** argv) {
    // The switch is the whole command line as typed, before Qt takes its own options out.
    std::string commandLine = brix::commandLineFromArgs(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brixtool"));

    brix::theApp.setCommandLine(std::move(commandLine));
    brix::theApp.InitInstance();
    brix::theApp.ExitInstance();
    return 0;
}
