#pragma once
// What the Tuner's display controls drew, per control, as seen through their BlitObserver.
// Including this header installs the recorder before any test runs.

#include <QObject>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "display_controls.h"

namespace brix {

// Keeps the most recent copies (at most kCapacity) and a running total.
class DrawLog {
public:
    static constexpr std::size_t kCapacity = 256;

    void add(const Blit& b) {
        if (entries_.size() >= kCapacity)
            entries_.erase(entries_.begin(), entries_.begin() + kCapacity / 2);
        entries_.push_back(b);
        ++total_;
    }
    void clear() { entries_.clear(); }
    const std::vector<Blit>& entries() const { return entries_; }
    std::uint64_t total() const { return total_; }

private:
    std::vector<Blit> entries_;
    std::uint64_t total_ = 0;
};

class DrawRecorder final : public BlitObserver {
public:
    void copied(const BitmapSurfaceWidget& control, const Blit& blit) override {
        logFor(control).add(blit);
    }
    DrawLog& logFor(const BitmapSurfaceWidget& control) {
        const auto [at, added] = logs_.try_emplace(&control);
        if (added) {
            // A later control at the same address starts with a log of its own.
            QObject::connect(&control, &QObject::destroyed,
                             [this, key = &control] { logs_.erase(key); });
        }
        return at->second;
    }

private:
    std::unordered_map<const QObject*, DrawLog> logs_;
};

inline DrawRecorder& drawRecorder() {
    static DrawRecorder recorder;
    return recorder;
}

inline const bool kDrawRecorderInstalled = [] {
    setBlitObserver(&drawRecorder());
    return true;
}();

inline DrawLog& drawLog(const BitmapSurfaceWidget& control) {
    return drawRecorder().logFor(control);
}

}  // namespace brix
