// Runs a blocking step (a network exchange) on a thread of its own while the
// calling window thread keeps living: it repaints, its timers tick and the
// window manager gets its answers. User input (clicks, keys) waits until the
// step is over, so a handler keeps its order of steps and no second step can
// be started by the user meanwhile.
#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace rt {

// Runs work on a worker thread and returns when it has ended. An exception
// thrown by work is rethrown here, on the calling thread. Without a Qt
// application, or when called off the application's thread, work runs in
// place.
void awaitOffThread(const std::function<void()>& work);

// The same, for work that returns a value.
template <class F>
auto awaitOffThreadResult(F&& work) -> std::invoke_result_t<F&>
{
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
        awaitOffThread(std::function<void()>(std::forward<F>(work)));
    } else {
        std::optional<R> result;
        awaitOffThread([&] { result.emplace(work()); });
        return std::move(*result);
    }
}

// True while an awaitOffThread step is running on this program's behalf.
bool offThreadStepRunning();

} // namespace rt
