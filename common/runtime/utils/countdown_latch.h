#pragma once

// A count that threads count down; waiters wake when it reaches zero. Any
// thread may call every operation.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tarvo::utils::concurrency {

// Counts down from a fixed count; waiters wake when it reaches zero.
class CountdownLatch {
public:
    explicit CountdownLatch(std::uint64_t count) : m_count(count) {}
    CountdownLatch(const CountdownLatch&) = delete;
    CountdownLatch& operator=(const CountdownLatch&) = delete;

    // Returns the count left; counting down past zero changes nothing.
    std::uint64_t count_down() {
        std::uint64_t left = 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_count > 0) {
                --m_count;
            }
            left = m_count;
        }
        if (left == 0) {
            m_zeroed.notify_all();
        }
        return left;
    }

    // True once the count is zero; false when the deadline passed first.
    bool wait_until(std::chrono::steady_clock::time_point deadline) const {
        std::unique_lock lock(m_mutex);
        return m_zeroed.wait_until(lock, deadline, [this] { return m_count == 0; });
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_zeroed;
    std::uint64_t m_count;  // guarded by m_mutex
};

}  // namespace tarvo::utils::concurrency
