#pragma once
// Synchronous calls from a worker thread (the link thread) onto the user-interface thread.
//
// call(f) runs f at once when already on the user-interface thread; otherwise it hands f to
// that thread and waits. The waiter is released when f has run (the result is returned) or when
// the call is cancelled (std::nullopt). cancelAll() releases every waiter at once, makes every
// later call return std::nullopt (sticky until reset()), guarantees that a handed-over function
// that has not started never runs, and closes a message box that a cancelled call has open.
//
// A function that is still running when it is cancelled (it sits in a message box's event loop)
// goes on to its end after the box closes, but its caller has already left: f is kept alive by
// the bridge, yet whatever f captured by reference may be gone by then. Capture by value what is
// used after a box.
//
// Deadlock rule: the user-interface thread must not wait for a worker that may be waiting here
// (joining it, say) without cancelAll() first.

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace fw {

class UiBridge {
public:
    UiBridge();
    ~UiBridge();
    UiBridge(const UiBridge&) = delete;
    UiBridge& operator=(const UiBridge&) = delete;

    // For a function with a result.
    template <class F>
    auto call(F&& f) -> std::optional<std::invoke_result_t<std::decay_t<F>&>> {
        using R = std::invoke_result_t<std::decay_t<F>&>;
        static_assert(!std::is_void_v<R>, "use run() for a function without a result");
        auto result = std::make_shared<std::optional<R>>();
        const bool ran =
            invoke([result, fn = std::forward<F>(f)]() mutable { result->emplace(fn()); });
        if (!ran)
            return std::nullopt;
        return std::move(*result);
    }

    // For a function without a result: true when it ran.
    template <class F>
    bool run(F&& f) {
        return invoke(std::function<void()>(std::forward<F>(f)));
    }

    // May be called from any thread; usually the user-interface thread in the stop path.
    void cancelAll();
    bool isCancelled() const;
    // Accepts calls again (after a restart of the window).
    void reset();

    static bool isUiThread();

    // Queues `fn` to run on the user-interface thread and returns at once (any thread). The
    // hand-over goes through a lock of ours, so ThreadSanitizer sees it as the C++ memory
    // model does; false when there is no application to run it.
    static bool post(std::function<void()> fn);

    // For code running inside a bridged call on the user-interface thread (a message box):
    // `hook` runs when that call is cancelled. Returns false, without keeping the hook, when
    // the call is already cancelled; true otherwise (also when not inside a bridged call).
    static bool whenCancelled(std::function<void()> hook);

    struct Shared;

private:
    bool invoke(std::function<void()> fn);

    std::shared_ptr<Shared> shared_;
};

// The process's bridge, used by messageBox and by the link's peer.
UiBridge& uiBridge();

}  // namespace fw
