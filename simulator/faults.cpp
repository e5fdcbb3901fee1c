#include "faults.h"

namespace brix::sim {

bool carriesText(const Bytes& frame) {
    if (frame.size() <= kHeaderBytes)
        return false;
    const int t = static_cast<std::int16_t>(getU16(frame.data() + 8));
    if (t == type::kVersion || t == type::kVersion2)
        return true;
    if (t != type::kDebugMessage || frame.size() < kHeaderBytes + 3)
        return false;
    const std::uint16_t sub = getU16(frame.data() + kHeaderBytes);
    return sub == debug::kText || sub == debug::kVersion;
}

const char* malformationName(Malformation kind) {
    switch (kind) {
        case Malformation::Short:
            return "short frame";
        case Malformation::WrongMagic:
            return "wrong magic";
        case Malformation::TypeOutOfRange:
            return "type out of range";
        case Malformation::UnterminatedText:
            return "text without zero byte";
        case Malformation::Oversized:
            return "oversized datagram";
    }
    return "?";
}

Bytes malform(const Bytes& frame, Malformation kind, std::mt19937& rng) {
    Bytes out = frame;
    switch (kind) {
        case Malformation::Short: {
            // Cut anywhere, header included, but keep at least one byte.
            const std::size_t keep = out.size() > 1 ? 1 + rng() % (out.size() - 1) : out.size();
            out.resize(keep);
            break;
        }
        case Malformation::WrongMagic:
            if (out.size() >= 8) {
                out[6] = 0x77;  // the magic stored big-endian
                out[7] = 0x79;
            }
            break;
        case Malformation::TypeOutOfRange:
            if (out.size() >= 10) {
                static constexpr std::uint16_t types[] = {19, 100, 0xFFFF, 0x8000};
                putU16(out, 8, types[rng() % 4]);
            }
            break;
        case Malformation::UnterminatedText:
            if (carriesText(out)) {
                // Overwrite the terminator and run the text to the end of a long datagram.
                const std::size_t from = out.size() - 1;
                out.resize(300 + rng() % 1500, 0);
                for (std::size_t i = from; i < out.size(); ++i) {
                    out[i] = static_cast<std::uint8_t>('A' + (i % 26));
                }
            }
            break;
        case Malformation::Oversized:
            out.resize(kOversizedBytes, 0xA5);
            break;
    }
    return out;
}

FaultInjector::FaultInjector(FaultSettings settings, std::uint32_t seed)
    : settings_(settings), rng_(seed) {}

bool FaultInjector::chance(double p) {
    if (p <= 0)
        return false;
    if (p >= 1)
        return true;
    return static_cast<double>(rng_()) / 4294967296.0 < p;
}

FaultInjector::Outcome FaultInjector::apply(const Bytes& frame) {
    Outcome o;
    if (chance(settings_.drop)) {
        ++counts_.dropped;
        o.faults.push_back("dropped");
        return o;
    }
    Bytes sent = frame;
    if (chance(settings_.malformed)) {
        Malformation kind;
        if (carriesText(frame) && rng_() % 2 == 0) {
            kind = Malformation::UnterminatedText;
        } else {
            static constexpr Malformation kinds[] = {Malformation::Short, Malformation::WrongMagic,
                                                     Malformation::TypeOutOfRange,
                                                     Malformation::Oversized};
            kind = kinds[rng_() % 4];
        }
        sent = malform(frame, kind, rng_);
        ++counts_.malformed;
        o.faults.push_back(std::string("malformed: ") + malformationName(kind));
    }
    o.datagrams.push_back(sent);
    if (chance(settings_.duplicate)) {
        ++counts_.duplicated;
        o.faults.push_back("duplicated");
        o.datagrams.push_back(sent);
    }
    return o;
}

}  // namespace brix::sim
