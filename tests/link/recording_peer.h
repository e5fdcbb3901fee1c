#pragma once
// A LinkPeer for tests: records every call, answers give-up questions from a script (Cancel when
// the script is empty) and can block like a user interface that is busy or shows a question,
// until cancelPendingCalls releases it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/link_peer.h"

namespace brix::testing {

struct ConsoleCall {
    MessageKind kind;
    std::string text;
    bool log;
};

struct ReplyCall {
    bool channelTable;  // onChannelTableReply, else onScannerReply
    bool giveUp;
    std::vector<std::uint8_t> body;  // empty on a give-up
};

class RecordingPeer : public LinkPeer {
public:
    static constexpr int kRetry = 1;
    static constexpr int kCancel = 0;

    void addConsoleMessage(MessageKind kind, const char* text, bool log) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!waitIfBlocked(lock, blockConsole_))
            return;
        console_.push_back({kind, text, log});
        ++calls_;
        changed_.notify_all();
    }
    void setMicrocodeVersion(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_)
            return;
        microcode_.push_back(text);
        ++calls_;
        changed_.notify_all();
    }
    void setBootVersion(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_)
            return;
        boot_.push_back(text);
        ++calls_;
        changed_.notify_all();
    }
    int onChannelTableReply(const std::uint8_t* body, int giveUp) override {
        return reply(true, body, giveUp != 0, 30);
    }
    int onScannerReply(const std::uint8_t* body) override {
        return reply(false, body, body == nullptr, 2);
    }
    void cancelPendingCalls() override {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }

    // Script and behaviour.
    void answerGiveUps(std::initializer_list<int> answers) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.insert(answers_.end(), answers);
    }
    void setDefaultGiveUpAnswer(int answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        defaultAnswer_ = answer;
    }
    // Runs inside every reply or give-up call, as a user acting at that moment would.
    void duringReply(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        duringReply_ = std::move(hook);
    }
    void blockOnGiveUp(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        blockGiveUp_ = on;
    }
    void blockOnConsole(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        blockConsole_ = on;
    }
    // Waits until a link-thread call sits blocked in the peer.
    bool waitUntilBlocked(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return blocked_; });
    }
    // Waits until `pred` holds for the recorded calls.
    template <typename Pred>
    bool waitFor(std::chrono::milliseconds limit, Pred pred) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return pred(*this); });
    }

    // Snapshots (call with the link stopped or through waitFor).
    std::vector<ConsoleCall> console() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return console_;
    }
    std::vector<std::string> consoleTexts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> texts;
        for (const auto& c : console_)
            texts.push_back(c.text);
        return texts;
    }
    std::vector<ReplyCall> replies() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return replies_;
    }
    std::vector<std::string> microcode() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return microcode_;
    }
    std::vector<std::string> boot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return boot_;
    }
    int calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        console_.clear();
        replies_.clear();
        microcode_.clear();
        boot_.clear();
    }

    // Unlocked views for waitFor predicates.
    const std::vector<ConsoleCall>& consoleLocked() const { return console_; }
    const std::vector<ReplyCall>& repliesLocked() const { return replies_; }

private:
    // False when the call is to vanish (cancelled while or before waiting).
    bool waitIfBlocked(std::unique_lock<std::mutex>& lock, bool block) {
        if (cancelled_)
            return false;
        if (!block)
            return true;
        blocked_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return cancelled_; });
        return false;
    }

    int reply(bool channelTable, const std::uint8_t* body, bool giveUp, std::size_t size) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!waitIfBlocked(lock, giveUp && blockGiveUp_))
            return kCancel;
        ReplyCall call{channelTable, giveUp, {}};
        if (body != nullptr)
            call.body.assign(body, body + size);
        replies_.push_back(std::move(call));
        ++calls_;
        changed_.notify_all();
        int answer = 0;
        if (giveUp) {
            answer = answers_.empty() ? defaultAnswer_ : answers_.front();
            if (!answers_.empty())
                answers_.pop_front();
        }
        auto hook = duringReply_;
        lock.unlock();
        if (hook)
            hook();
        return answer;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ConsoleCall> console_;
    std::vector<ReplyCall> replies_;
    std::vector<std::string> microcode_;
    std::vector<std::string> boot_;
    std::deque<int> answers_;
    std::function<void()> duringReply_;
    int defaultAnswer_ = kCancel;
    bool blockGiveUp_ = false;
    bool blockConsole_ = false;
    bool blocked_ = false;
    bool cancelled_ = false;
    int calls_ = 0;
};

}  // namespace brix::testing
