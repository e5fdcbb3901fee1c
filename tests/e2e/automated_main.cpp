// brixtool-automated: the tool as tests run it, with the automation socket (automation.h) and
// the box log; the shipped brixtool has neither.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "automation.h"
#include "app/tool_app.h"
#include "framework/message_box.h"

namespace {

// For tests that run the tool as a process: when BRIXTOOL_TEST_BOX_LOG names a file, no box is
// shown; each is written there as "caption|text|flags" (line breaks as \n) and answered as the
// Escape key would answer it.
void installBoxLogFromEnvironment() {
    const char* path = std::getenv("BRIXTOOL_TEST_BOX_LOG");
    if (path == nullptr || path[0] == '\0')
        return;
    const std::string file = path;
    fw::setMessageBoxHandler([file](const fw::MessageBoxRequest& box) {
        QString text = box.text;
        text.replace(QStringLiteral("\n"), QStringLiteral("\\n"));
        if (std::FILE* out = std::fopen(file.c_str(), "a")) {
            std::fprintf(out, "%s|%s|0x%x\n", box.caption.toUtf8().constData(),
                         text.toUtf8().constData(), box.flags);
            std::fclose(out);
        }
        const unsigned buttons = box.flags & 0xFu;
        const bool hasCancel = buttons == fw::MB_OKCANCEL || buttons == fw::MB_YESNOCANCEL ||
                               buttons == fw::MB_RETRYCANCEL;
        return hasCancel ? fw::IDCANCEL : fw::IDOK;
    });
}

}  // namespace

int main(int argc, char** argv) {
    // The switch is the whole command line as typed, before Qt takes its own options out.
    std::string commandLine = brix::commandLineFromArgs(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brixtool"));
    installBoxLogFromEnvironment();
    if (!brix::startAutomation())
        return 1;

    brix::theApp.setCommandLine(std::move(commandLine));
    brix::theApp.InitInstance();
    return 0;
}
