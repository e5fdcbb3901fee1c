#pragma once
// The simulated modem's event loop: one UDP socket, the modem, the faults, the timers of its own
// messages, and one log line per frame.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "faults.h"
#include "modem.h"
#include "options.h"

namespace brix::sim {

struct TrafficCounts {
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    std::uint64_t sendFailed = 0;
    std::uint64_t delayed = 0;
    std::uint64_t otherAcks = 0;
};

class Simulator {
public:
    // `modemSettings` come from the options (channel file already read); `out` gets the log.
    Simulator(const Options& options, ModemSettings modemSettings, std::FILE* out);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens and binds the socket; false with `error` set.
    bool open(std::string& error);

    // Runs until `*stop` becomes non-zero or the duration has passed.
    void run(const volatile std::sig_atomic_t* stop);

    // The --stats line.
    std::string statsLine() const;

private:
    std::int64_t nowMs() const;
    void log(const char* what, const std::string& text);
    void emit(const Bytes& frame, bool isReply);
    void sendNow(const Bytes& datagram, const std::string& faults);
    void receiveAll();
    void fireTimers(std::int64_t now);
    std::int64_t nextInterval(double meanSeconds);

    Options options_;
    Modem modem_;
    FaultInjector faults_;
    std::mt19937 timerRng_;
    std::FILE* out_;
    int fd_ = -1;
    std::int64_t startNs_ = 0;
    std::int64_t nextLinkTest_ = -1;
    std::int64_t nextDebug_ = -1;
    std::int64_t lastFlood_ = 0;
    double floodCarry_ = 0;
    struct Queued {
        Bytes datagram;
        std::string faults;
    };
    std::multimap<std::int64_t, Queued> queue_;  // by due time; equal times keep their order
    TrafficCounts counts_;
};

// A seed from the clock when none was given.
std::uint32_t chooseSeed(const Options& options);

}  // namespace brix::sim
