// brixctl: the modem from a shell, a script or a monitoring system.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "brixctl/commands.h"
#include "brixctl/discover.h"
#include "brixctl/session.h"

#ifndef BRIX_VERSION
#error "BRIX_VERSION comes from the project's version"
#endif

int main(int argc, char** argv) {
    using namespace brixctl;
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
    tableSet->add_option("FILE", tableFile, "JSON file")->required();

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

    auto* discover =
        app.add_subcommand("discover", "which interfaces a modem answers on (for --interface)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
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

    Session::catchInterrupts();
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
    if (*serve)
        return runServe(o, listen);
    if (*discover)
        return runDiscover(o);
    return kUsage;
}
