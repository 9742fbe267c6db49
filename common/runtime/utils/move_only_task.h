#pragma once

// A callable with no arguments and no result that may own move-only state
// (a unique_ptr, a moved read), which std::function cannot hold.

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace common::utils {

class MoveOnlyTask {
public:
    MoveOnlyTask() noexcept = default;

    template <class F,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, MoveOnlyTask> &&
                                       std::is_invocable_v<std::decay_t<F>&>>>
    MoveOnlyTask(F&& function)  // NOLINT(google-explicit-constructor): posts read as post([] {...})
        : m_callable(std::make_unique<Holder<std::decay_t<F>>>(std::forward<F>(function))) {}

    MoveOnlyTask(MoveOnlyTask&&) noexcept = default;
    MoveOnlyTask& operator=(MoveOnlyTask&&) noexcept = default;
    MoveOnlyTask(const MoveOnlyTask&) = delete;
    MoveOnlyTask& operator=(const MoveOnlyTask&) = delete;

    explicit operator bool() const noexcept { return static_cast<bool>(m_callable); }

    // Throws std::bad_function_call when empty, like std::function.
    void operator()() {
        if (!m_callable) {
            throw std::bad_function_call();
        }
        m_callable->call();
    }

private:
    struct Callable {
        virtual ~Callable() = default;
        virtual void call() = 0;
    };
    template <class F>
    struct Holder final : Callable {
        explicit Holder(F&& function) : m_function(std::move(function)) {}
        explicit Holder(const F& function) : m_function(function) {}
        void call() override { m_function(); }
        F m_function;
    };

    std::unique_ptr<Callable> m_callable;
};

}  // namespace common::utils
