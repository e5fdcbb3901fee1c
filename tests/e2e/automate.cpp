// brix-automate: sends commands to a running tool's automation socket (BRIX_AUTOMATION) and
// prints the replies; for the demo script and for poking at the tool by hand.
//   brix-automate [--wait SECONDS] SOCKET COMMAND...
// Each COMMAND is one argument ("text 131 1036"). Data lines are printed as they come, then the
// value of the status line. Exit status 1 when a command fails, 2 when the tool cannot be reached
// within the wait (default 0: one try).

#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

int main(int argc, char** argv) {
    int arg = 1;
    double waitSeconds = 0;
    if (arg + 1 < argc && std::string(argv[arg]) == "--wait") {
        waitSeconds = std::atof(argv[arg + 1]);
        arg += 2;
    }
    if (arg >= argc) {
        std::fprintf(stderr, "usage: %s [--wait SECONDS] SOCKET COMMAND...\n", argv[0]);
        return 2;
    }
    e2e::Automation ui;
    const auto wait = std::chrono::milliseconds(static_cast<long>(waitSeconds * 1000));
    if (!ui.connect(argv[arg], wait)) {
        std::fprintf(stderr, "%s: cannot reach the tool at %s\n", argv[0], argv[arg]);
        return 2;
    }
    for (++arg; arg < argc; ++arg) {
        const e2e::Automation::Reply reply = ui.send(argv[arg], std::chrono::seconds(30));
        for (const std::string& line : reply.lines)
            std::printf("%s\n", line.c_str());
        if (!reply.ok) {
            std::fprintf(stderr, "%s: %s\n", argv[arg], reply.value.c_str());
            return 1;
        }
        std::printf("%s\n", reply.value.c_str());
    }
    return 0;
}
