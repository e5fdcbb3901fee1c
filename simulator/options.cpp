#include "options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>

namespace brix::sim {

namespace {

bool parseDouble(const std::string& s, double& out) {
    if (s.empty())
        return false;
    const char* end = s.data() + s.size();
    const auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc() && p == end && std::isfinite(out);
}

template <typename T>
bool parseUnsigned(const std::string& s, T& out) {
    if (s.empty())
        return false;
    const char* end = s.data() + s.size();
    const auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc() && p == end;
}

bool validIpv4(const std::string& s) {
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

}  // namespace

std::string usageText(const std::string& program) {
    return "usage: " + program +
           " [options]\n"
           "Simulated cable modem: answers the tool's frames on UDP.\n"
           "  --channels FILE     start from a 580-byte channel file instead of the built-in plan\n"
           "  --silent            answer nothing and send nothing\n"
           "  --drop P            drop each outbound frame with probability P (0..1)\n"
           "  --duplicate P       send each outbound frame twice with probability P\n"
           "  --late MS           delay every reply by MS milliseconds\n"
           "  --ack-other         Set acknowledgements carry other data than the modem holds\n"
           "  --ignore-tune       tune commands leave the receiver where it is\n"
           "  --ignore-tune-rate  tune commands change the frequency but not the bit rate\n"
           "  --microcode TEXT    the microcode version text, bytes as given (a damaged or\n"
           "                      hostile one: Latin-1, control characters)\n"
           "  --malformed P       damage outbound frames with probability P (short, wrong magic,\n"
           "                      type out of range, text without zero byte, 2000-byte datagram)\n"
           "  --flood RATE        also send RATE frames per second of mixed reports\n"
           "  --link-test S       mean seconds between link tests (default 30, 0: never)\n"
           "  --debug S           mean seconds between debug messages (default 10, 0: never)\n"
           "  --seed N            seed of the random choices (default: from the clock)\n"
           "  --bind ADDR         local IPv4 address to listen on (default 0.0.0.0)\n"
           "  --port-local PORT   port to listen on (default 30588)\n"
           "  --port-peer PORT    port of the tool (default 30587)\n"
           "  --dest ADDR         IPv4 address to send to (default 255.255.255.255)\n"
           "  --interface NAME    listen and send on this network interface only\n"
           "  --quiet             no line per frame\n"
           "  --duration S        exit after S seconds\n"
           "  --stats             print counts of frames and faults at exit\n"
           "  --fill-history FILE write the DAYS before now into the new history store FILE\n"
           "                      (outages, a retune, a gap, a noisy evening), then exit;\n"
           "                      nothing is sent\n"
           "  --days DAYS         days of --fill-history, 1 to 400 (default 30)\n"
           "  --help              this text\n";
}

ParseResult parseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        auto probability = [&](double& p) {
            std::string v;
            if (!value(v))
                return false;
            if (!parseDouble(v, p) || p < 0 || p > 1) {
                error = a + ": '" + v + "' is not a probability from 0 to 1";
                return false;
            }
            return true;
        };
        auto seconds = [&](double& s, bool zeroAllowed) {
            std::string v;
            if (!value(v))
                return false;
            if (!parseDouble(v, s) || s < 0 || (!zeroAllowed && s == 0) || s > 1e7) {
                error = a + ": '" + v + "' is not a " + (zeroAllowed ? "" : "positive ") +
                        "number of seconds";
                return false;
            }
            return true;
        };
        auto port = [&](std::uint16_t& p) {
            std::string v;
            if (!value(v))
                return false;
            if (!parseUnsigned(v, p) || p == 0) {
                error = a + ": '" + v + "' is not a port from 1 to 65535";
                return false;
            }
            return true;
        };
        auto address = [&](std::string& addr) {
            if (!value(addr))
                return false;
            if (!validIpv4(addr)) {
                error = a + ": '" + addr + "' is not an IPv4 address";
                return false;
            }
            return true;
        };

        bool ok = true;
        if (a == "--help" || a == "-h") {
            return ParseResult::Help;
        } else if (a == "--channels") {
            ok = value(out.channelsFile);
        } else if (a == "--silent") {
            out.silent = true;
        } else if (a == "--drop") {
            ok = probability(out.faults.drop);
        } else if (a == "--duplicate") {
            ok = probability(out.faults.duplicate);
        } else if (a == "--malformed") {
            ok = probability(out.faults.malformed);
        } else if (a == "--late") {
            std::string v;
            ok = value(v);
            unsigned ms = 0;
            if (ok && (!parseUnsigned(v, ms) || ms > 600000)) {
                error = a + ": '" + v + "' is not a delay from 0 to 600000 ms";
                ok = false;
            }
            if (ok)
                out.lateMs = static_cast<int>(ms);
        } else if (a == "--ack-other") {
            out.ackOther = true;
        } else if (a == "--ignore-tune") {
            out.ignoreTune = true;
        } else if (a == "--ignore-tune-rate") {
            out.ignoreTuneRate = true;
        } else if (a == "--microcode") {
            ok = value(out.microcodeVersion);
        } else if (a == "--flood") {
            std::string v;
            ok = value(v);
            if (ok &&
                (!parseDouble(v, out.floodRate) || out.floodRate <= 0 || out.floodRate > 100000)) {
                error = a + ": '" + v + "' is not a rate from above 0 to 100000 frames a second";
                ok = false;
            }
        } else if (a == "--seed") {
            std::string v;
            std::uint32_t s = 0;
            ok = value(v);
            if (ok && !parseUnsigned(v, s)) {
                error = a + ": '" + v + "' is not a number from 0 to 4294967295";
                ok = false;
            }
            if (ok)
                out.seed = s;
        } else if (a == "--link-test") {
            ok = seconds(out.linkTestSeconds, true);
        } else if (a == "--debug") {
            ok = seconds(out.debugSeconds, true);
        } else if (a == "--bind") {
            ok = address(out.bindAddress);
        } else if (a == "--port-local") {
            ok = port(out.localPort);
        } else if (a == "--port-peer") {
            ok = port(out.peerPort);
        } else if (a == "--dest") {
            ok = address(out.destination);
        } else if (a == "--interface") {
            ok = value(out.interfaceName);
        } else if (a == "--quiet") {
            out.quiet = true;
        } else if (a == "--duration") {
            ok = seconds(out.durationSeconds, false);
        } else if (a == "--stats") {
            out.stats = true;
        } else if (a == "--fill-history") {
            ok = value(out.fillHistory);
        } else if (a == "--days") {
            std::string v;
            unsigned d = 0;
            ok = value(v);
            if (ok && (!parseUnsigned(v, d) || d < 1 || d > 400)) {
                error = a + ": '" + v + "' is not a count of days from 1 to 400";
                ok = false;
            }
            if (ok)
                out.fillDays = static_cast<int>(d);
        } else {
            error = "unknown option '" + a + "'";
            ok = false;
        }
        if (!ok)
            return ParseResult::Error;
    }
    if (out.localPort == out.peerPort) {
        // The modem would hear its own reports and answer them without end.
        error = "--port-local and --port-peer must differ";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

}  // namespace brix::sim
