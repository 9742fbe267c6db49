#pragma once

// A one-shot signal between threads: once set it stays set, and every
// thread waiting for it wakes.
//
//   tarvo::utils::concurrency::Flag taken;
//   std::thread caller([&] { buffer.testable_queue_read(read, 1000, &taken); });
//   taken.wait_until(std::chrono::steady_clock::now() + std::chrono::seconds(5));
//
// Any thread may call every operation.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarvo::utils::concurrency {

class Flag {
public:
    Flag() = default;
    Flag(const Flag&) = delete;
    Flag& operator=(const Flag&) = delete;

    void signal() {
        {
            std::lock_guard lock(m_mutex);
            m_signalled = true;
        }
        m_event.notify_all();
    }

    bool is_signalled() const {
        std::lock_guard lock(m_mutex);
        return m_signalled;
    }

    // True once signalled; false when the deadline passed first.
    bool wait_until(std::chrono::steady_clock::time_point deadline) const {
        std::unique_lock lock(m_mutex);
        return m_event.wait_until(lock, deadline, [this] { return m_signalled; });
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_event;
    bool m_signalled = false;  // guarded by m_mutex
};

}  // namespace tarvo::utils::concurrency
