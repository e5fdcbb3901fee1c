#include "framework/ui_bridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
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

// Qt's event queue hands a posted call over under locks of its own, which the C++ memory model
// (and ThreadSanitizer) cannot see. Every post releases this counter and every run acquires it,
// so whatever the posting thread wrote before posting (the call, a bridge it created) is
// visible to the user-interface thread by the standard's own rules.
std::atomic<std::uint64_t> handOvers{0};

void forget(UiBridge::Shared& shared, const Call* call) {
    auto& live = shared.live;
    live.erase(std::remove_if(live.begin(), live.end(),
                              [call](const std::shared_ptr<Call>& c) { return c.get() == call; }),
               live.end());
}

void execute(const std::shared_ptr<UiBridge::Shared>& shared, const std::shared_ptr<Call>& call) {
    handOvers.load(std::memory_order_acquire);
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
    handOvers.fetch_add(1, std::memory_order_release);
    // The posted functor only carries the two shared pointers: whatever happens to this
    // thread, the call's state outlives it.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [shared = shared_, call] { execute(shared, call); },
        Qt::QueuedConnection);

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
    } else if (QCoreApplication::instance() != nullptr) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [hooks = std::move(hooks)] {
                for (const auto& hook : hooks)
                    hook();
            },
            Qt::QueuedConnection);
    }
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
