// brix-modem-sim: a simulated cable modem for demonstrations, tests and training.

#include <signal.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "channels/channel_table.h"
#include "options.h"
#include "past.h"
#include "simulator.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

void installHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the poll must return at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string program = argc > 0 ? argv[0] : "brix-modem-sim";
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);

    brix::sim::Options options;
    std::string error;
    switch (brix::sim::parseOptions(args, options, error)) {
        case brix::sim::ParseResult::Help:
            std::fputs(brix::sim::usageText(program).c_str(), stdout);
            return 0;
        case brix::sim::ParseResult::Error:
            std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(),
                         brix::sim::usageText(program).c_str());
            return 2;
        case brix::sim::ParseResult::Run:
            break;
    }

    if (!options.fillHistory.empty()) {
        if (!brix::sim::fillHistory(options.fillHistory, options.fillDays, options.seed.value_or(7),
                                    error)) {
            std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
            return 1;
        }
        return 0;
    }

    brix::sim::ModemSettings settings;
    settings.ackOther = options.ackOther;
    settings.ignoreTune = options.ignoreTune;
    settings.ignoreTuneRate = options.ignoreTuneRate;
    if (!options.microcodeVersion.empty())
        settings.microcodeVersion = options.microcodeVersion;
    if (!options.channelsFile.empty()) {
        brix::ChannelTable table;
        if (!table.load(options.channelsFile)) {
            std::fprintf(stderr, "%s: --channels: cannot read '%s'\n%s", program.c_str(),
                         options.channelsFile.c_str(), brix::sim::usageText(program).c_str());
            return 2;
        }
        const brix::ChannelTableBody body = table.toBody();
        settings.channelTable.assign(body.bytes.begin(), body.bytes.end());
    }

    installHandlers();
    brix::sim::Simulator sim(options, settings, stdout);
    if (!sim.open(error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 1;
    }
    if (!options.quiet) {
        std::printf("modem listening on %s:%u, answering %s:%u\n", options.bindAddress.c_str(),
                    static_cast<unsigned>(options.localPort), options.destination.c_str(),
                    static_cast<unsigned>(options.peerPort));
    }
    sim.run(&stopRequested);
    if (options.stats)
        std::printf("%s\n", sim.statsLine().c_str());
    return 0;
}
