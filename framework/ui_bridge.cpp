#include "framework/ui_bridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace fw {

namespace {

enum class CallState { Posted, Running, Done, Cancelled };

struct Call {
    std::function<void()> fn;
    CallState state = CallState::Posted;
    std::vector<std::function<void()>> cancelHooks;
};

}  // namespace

struct UiBridge::Shared {
    std::mutex mutex;
    std::condition_variable released;
    bool cancelled = false;
    std::vector<std::shared_ptr<Call>> live;  // posted or running
};

namespace {

// The bridged calls running on this (the user-interface) thread, innermost last.
struct RunningCall {
    UiBridge::Shared* shared;
    Call* call;
};
thread_local std::vector<RunningCall> runningCalls;

// Posted functions wait in a queue of ours; Qt only carries a bare event that says "run the
// next one". Qt's event queue hands over under locks the sanitizer cannot see, so a functor
// object of Qt's (invokeMethod) would look raced; ours go through this mutex, and every race
// in what they do is still reported.
// The queue is made before main and the poster object holds no data of its own, so nothing
// of it is written by one thread before another reads it unsynchronised (the poster may be
// made by a worker thread).
std::mutex postMutex;
std::deque<std::function<void()>> postQueue;

class Poster final : public QObject {
public:
    void post(std::function<void()> fn) {
        QEvent* run = nullptr;
        {
            // The event is made under the lock too: the other side reads it only after
            // taking the lock, so even the event's own bytes change hands visibly.
            std::lock_guard lock(postMutex);
            postQueue.push_back(std::move(fn));
            run = new QEvent(runType());
        }
        QCoreApplication::postEvent(this, run);
    }

protected:
    bool event(QEvent* e) override {
        std::function<void()> fn;
        {
            std::unique_lock lock(postMutex);
            if (e->type() != runType()) {
                lock.unlock();
                return QObject::event(e);
            }
            if (postQueue.empty())
                return true;
            fn = std::move(postQueue.front());
            postQueue.pop_front();
        }
        fn();
        return true;
    }

private:
    static QEvent::Type runType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
};

Poster& poster() {
    // Lives for the process, in the user-interface thread.
    static Poster* const instance = [] {
        auto* p = new Poster;
        p->moveToThread(QCoreApplication::instance()->thread());
        return p;
    }();
    return *instance;
}

void forget(UiBridge::Shared& shared, const Call* call) {
    auto& live = shared.live;
    live.erase(std::remove_if(live.begin(), live.end(),
                              [call](const std::shared_ptr<Call>& c) { return c.get() == call; }),
               live.end());
}

void execute(const std::shared_ptr<UiBridge::Shared>& shared, const std::shared_ptr<Call>& call) {
    {
        std::lock_guard lock(shared->mutex);
        if (call->state != CallState::Posted)
            return;  // cancelled before it started
        call->state = CallState::Running;
    }
    runningCalls.push_back({shared.get(), call.get()});
    call->fn();
    runningCalls.pop_back();
    {
        std::lock_guard lock(shared->mutex);
        if (call->state == CallState::Running)
            call->state = CallState::Done;
        call->cancelHooks.clear();
        forget(*shared, call.get());
    }
    shared->released.notify_all();
}

}  // namespace

UiBridge::UiBridge() : shared_(std::make_shared<Shared>()) {}

UiBridge::~UiBridge() {
    cancelAll();
}

bool UiBridge::isUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

bool UiBridge::invoke(std::function<void()> fn) {
    if (isUiThread()) {
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->cancelled)
                return false;
        }
        fn();
        return true;
    }

    auto call = std::make_shared<Call>();
    call->fn = std::move(fn);
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->cancelled || QCoreApplication::instance() == nullptr)
            return false;
        shared_->live.push_back(call);
    }
    // The posted function only carries the two shared pointers: whatever happens to this
    // thread, the call's state outlives it.
    post([shared = shared_, call] { execute(shared, call); });

    std::unique_lock lock(shared_->mutex);
    shared_->released.wait(lock, [&] {
        return call->state == CallState::Done || call->state == CallState::Cancelled;
    });
    return call->state == CallState::Done;
}

void UiBridge::cancelAll() {
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->cancelled = true;
        for (const auto& call : shared_->live) {
            if (call->state == CallState::Running) {
                for (auto& hook : call->cancelHooks)
                    hooks.push_back(std::move(hook));
                call->cancelHooks.clear();
            }
            call->state = CallState::Cancelled;
        }
        shared_->live.clear();
    }
    shared_->released.notify_all();
    if (hooks.empty())
        return;
    if (isUiThread()) {
        for (auto& hook : hooks)
            hook();
    } else {
        post([hooks = std::move(hooks)] {
            for (const auto& hook : hooks)
                hook();
        });
    }
}

bool UiBridge::post(std::function<void()> fn) {
    if (QCoreApplication::instance() == nullptr)
        return false;
    poster().post(std::move(fn));
    return true;
}

bool UiBridge::isCancelled() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->cancelled;
}

void UiBridge::reset() {
    std::lock_guard lock(shared_->mutex);
    shared_->cancelled = false;
}

bool UiBridge::whenCancelled(std::function<void()> hook) {
    if (runningCalls.empty())
        return true;
    const RunningCall& running = runningCalls.back();
    std::lock_guard lock(running.shared->mutex);
    if (running.call->state == CallState::Cancelled)
        return false;
    running.call->cancelHooks.push_back(std::move(hook));
    return true;
}

UiBridge& uiBridge() {
    static UiBridge bridge;
    return bridge;
}

}  // namespace fw
