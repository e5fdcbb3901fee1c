// brixctl: the modem from a shell, a script or a monitoring system.

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "brixctl/commands.h"
#include "brixctl/discover.h"
#include "brixctl/session.h"

#ifndef BRIX_VERSION
#error "BRIX_VERSION comes from the project's version"
#endif

namespace {

// A standard descriptor that the caller closed (status >&-) would otherwise be taken by the
// next one opened (the link's wake-up eventfd, its socket), and the output would go there.
// Held by /dev/null, read-only, a write to it fails as a write to a closed descriptor does.
// Run before the static objects are built, since some of them open descriptors.
[[gnu::constructor(101)]] void holdClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

// --help and --version are written by the option parser; a failed write there is a failure too.
int checkedExit(int rc) {
    std::cout.flush();
    if (!std::cout || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "brixctl: cannot write the output: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        return brixctl::kFailed;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brixctl;
    // First: a SIGTERM in the first milliseconds (a service stopped at once) ends the command
    // as any later one does, with its exit status, rather than by the default action.
    Session::catchInterrupts();
    CLI::App app{
        "brixctl: status, watch, console, channel table, scanner parameters, tuning "
        "and Prometheus metrics of the modem on this network segment.",
        "brixctl"};
    app.set_version_flag("--version", "brixctl " BRIX_VERSION);
    app.require_subcommand(1);
    app.fallthrough();

    Options o;
    bool json = false;
    bool csv = false;
    auto* jsonFlag = app.add_flag("--json", json, "output for programs: JSON");
    app.add_flag("--csv", csv, "output for programs: a header line, then one row per sample")
        ->excludes(jsonFlag);
    app.add_option("--timeout", o.timeout, "seconds to wait for the modem's answer (default 3)")
        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--interface", o.interfaceName,
                   "network interface of the modem's segment (default: any)")
        ->envname("BRIX_INTERFACE");
    app.add_option("--channels", o.channelsFile,
                   "channel file with the labels (default: \"Brix Tool .lb\" here)");

    auto* status = app.add_subcommand("status", "RF channels, attenuation, statistics, versions");

    double interval = 1;
    long count = 0;
    auto* watch = app.add_subcommand("watch", "one sample a period until --count or Ctrl-C");
    watch->add_option("--interval", interval, "seconds between samples (default 1)")
        ->check(CLI::Range(0.1, 86400.0));
    watch->add_option("--count", count, "number of samples (default: until Ctrl-C)")
        ->check(CLI::Range(1L, 1000000000L));

    bool statistics = false;
    long lines = 0;
    auto* console = app.add_subcommand("console", "the Console's lines, with time stamps");
    console->add_flag("--statistics", statistics, "also the statistics reports");
    console->add_option("--count", lines, "stop after this many lines")
        ->check(CLI::Range(1L, 1000000000L));

    auto* table = app.add_subcommand("table", "the modem's channel table");
    table->require_subcommand(1);
    auto* tableGet = table->add_subcommand("get", "print the table with the stored labels");
    std::string tableFile;
    auto* tableSet = table->add_subcommand("set", "send a table (the JSON of table get --json)");
    tableSet->add_option("FILE", tableFile, "JSON file, or - for standard input")->required();

    auto* scanner = app.add_subcommand("scanner", "the frequency scanner's parameters");
    scanner->require_subcommand(1);
    auto* scannerGet = scanner->add_subcommand("get", "print the plans and rates scanned");
    std::vector<std::string> settings;
    auto* scannerSet =
        scanner->add_subcommand("set", "scan these, for instance NTSC:9.45 PALB:6.82");
    scannerSet
        ->add_option("PLAN:RATES", settings, "NTSC, PALB, PALD or Other with 6.82 and/or 9.45")
        ->required();
    auto* scannerDefault = scanner->add_subcommand("default", "the modem's default parameters");

    std::string mhz;
    std::optional<std::string> mbits;
    auto* tune = app.add_subcommand("tune", "tune the receiver, then check the RF report");
    tune->add_option("MHZ", mhz, "receive frequency in MHz, for instance 555.2")->required();
    tune->add_option("MBITS", mbits, "bit rate as the lists show it: 2.56 3.20 5.12 6.82 9.45");

    std::string listen = "127.0.0.1:9330";
    auto* serve = app.add_subcommand("serve", "serve Prometheus metrics over HTTP");
    serve->add_option("--metrics", listen, "[HOST:]PORT to listen on (default 127.0.0.1:9330)");
    serve->add_flag("--no-history", o.noHistory, "record no history");
    serve->add_option("--web-config", o.webConfig,
                      "TLS and users with passwords for the HTTP side: a YAML file with "
                      "tls_server_config (cert_file, key_file) and basic_auth_users (bcrypt)");
    app.add_option("--history", o.history,
                   "the history store (default: $XDG_STATE_HOME/brixtool/history.sqlite3)");
    auto* record = app.add_subcommand("record", "record the modem's reports into the history");
    for (auto* command : {serve, record}) {
        command->add_option("--notify-command", o.notify.command,
                            "run CMD with /bin/sh -c on an event: BRIX_KIND, BRIX_TIME, "
                            "BRIX_TEXT, BRIX_DURATION ... and a JSON line on its input");
        command->add_option("--notify-url", o.notify.urls,
                            "POST the event's JSON to URL (several allowed; ntfy+https://... "
                            "for ntfy's form)");
        command->add_option("--notify-on", o.notify.on,
                            "the events to tell: down, up, channel, message, error, service "
                            "(default down,up,error,service)");
        command->add_option("--notify-after", o.notify.after,
                            "seconds the link is down before it is told (default 30)");
        command->add_option("--notify-every", o.notify.every,
                            "seconds between two messages of a kind; what comes meanwhile is "
                            "one message with a count (default 60)");
        command->add_option("--notify-match", o.notify.match,
                            "with message in --notify-on: only the modem's messages this regular "
                            "expression finds");
    }
    std::string historyWhat = "samples", since, until, backupFile, historyFrom;
    auto* history = app.add_subcommand("history", "what the history holds, without the modem");
    history->add_option("WHAT", historyWhat, "samples (default), statistics, events, or backup")
        ->check(CLI::IsMember({"samples", "statistics", "events", "backup"}));
    history->add_option("FILE", backupFile, "with backup: the new file to copy the store to");
    history->add_option("--since", since,
                        "2h, 30m, 7d, 1y ago, today, yesterday, 13:01 or an ISO time (default 1h)");
    history->add_option("--until", until, "as --since (default now)");
    auto* fromOption =
        history->add_option("--from", historyFrom,
                            "the address of a brixctl serve whose history to read "
                            "(http://HOST:9330/; credentials from the URL or ~/.netrc)");
    bool follow = false;
    history->add_flag("--follow", follow,
                      "with events: go on printing the events as they are recorded (one JSON "
                      "document a line with --json), until Ctrl-C");
    history->add_option("--cacert", o.caFile,
                        "with an https --from: the certificate of the authority that signed the "
                        "server's (or the server's own, when it signed itself)");

    std::string reportFile, reportSince, reportUntil, reportFrom;
    auto* report = app.add_subcommand(
        "report", "a report of the history for the provider: PDF, HTML or PNG, by the file's name");
    report->add_option("-o,--output", reportFile, "the file to write: NAME.pdf, .html or .png")
        ->required();
    report->add_option("--since", reportSince, "as history's (default 24h)");
    report->add_option("--until", reportUntil, "as history's (default now)");
    auto* reportFromOption =
        report->add_option("--from", reportFrom,
                           "the address of a brixctl serve whose history to read "
                           "(http://HOST:9330/; credentials from the URL or ~/.netrc)");
    report->add_option("--cacert", o.caFile, "as history's");

    auto* discover =
        app.add_subcommand("discover", "which interfaces a modem answers on (for --interface)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return checkedExit(app.exit(e));
    } catch (const CLI::CallForAllHelp& e) {
        return checkedExit(app.exit(e));
    } catch (const CLI::CallForVersion& e) {
        return checkedExit(app.exit(e));
    } catch (const CLI::ParseError& e) {
        // A word that is no command reads better as such than as a missing command.
        const std::vector<std::string> extra = app.remaining();
        const std::string what = !extra.empty() && extra.front().rfind("-", 0) != 0
                                     ? "unknown command: " + extra.front()
                                     : std::string(e.what());
        std::fprintf(stderr, "brixctl: %s\nRun brixctl --help for the commands.\n", what.c_str());
        return kUsage;
    }
    o.format = json ? Format::Json : csv ? Format::Csv : Format::Text;

    try {
        if (*status)
            return runStatus(o);
        if (*watch)
            return runWatch(o, interval, count);
        if (*console)
            return runConsole(o, statistics, lines);
        if (*tableGet)
            return runTableGet(o);
        if (*tableSet)
            return runTableSet(o, tableFile);
        if (*scannerGet)
            return runScannerGet(o);
        if (*scannerSet)
            return runScannerSet(o, settings);
        if (*scannerDefault)
            return runScannerDefault(o);
        if (*tune)
            return runTune(o, mhz, mbits);
        if (*serve || *record) {
            o.notify.commandGiven =
                (*serve ? serve : record)->get_option("--notify-command")->count() > 0;
            if (const std::string why = checkNotifyOptions(o.notify); !why.empty()) {
                std::fprintf(stderr, "brixctl: %s\n", why.c_str());
                return kUsage;
            }
        }
        if (*serve)
            return runServe(o, listen);
        if (*record)
            return runRecord(o);
        // An empty time (a variable of a script left unset) is no default range either.
        for (auto* command : {history, report})
            for (const char* name : {"--since", "--until"})
                if (*command && command->get_option(name)->count() > 0 &&
                    command->get_option(name)->as<std::string>().empty()) {
                    std::fprintf(stderr,
                                 "brixctl: %s needs a time: 2h, 7d, today, 13:01 or an "
                                 "ISO time\n",
                                 name);
                    return kUsage;
                }
        // An empty address (a variable of a script left unset) is no local read.
        if ((*report && reportFromOption->count() > 0 && reportFrom.empty()) ||
            (*history && fromOption->count() > 0 && historyFrom.empty())) {
            std::fprintf(stderr, "brixctl: --from needs an address: http://HOST:9330/\n");
            return kUsage;
        }
        if (*report)
            return runHistory(o, "report", reportSince.empty() ? "24h" : reportSince, reportUntil,
                              reportFile, reportFrom);
        if (*history) {
            if (fromOption->count() > 0 && !o.history.empty()) {
                std::fprintf(stderr,
                             "brixctl: --from and --history name two histories: "
                             "choose one\n");
                return kUsage;
            }
            return runHistory(o, historyWhat, since, until, backupFile, historyFrom, follow);
        }
        if (*discover)
            return runDiscover(o);
    } catch (const WriteFailed& e) {
        // A reader that went away (a pipe into head) ends the command quietly, as it ends
        // yes; any other failed write is an error.
        if (e.error == EPIPE)
            return kReaderGone;
        // Ctrl-C or SIGTERM while the reader let the output wait: the interrupt ends it.
        if (e.error == EINTR && Session::interrupted())
            return kInterrupted;
        std::fprintf(stderr, "brixctl: cannot write the output: %s\n", std::strerror(e.error));
        return kFailed;
    }
    return kUsage;
}
