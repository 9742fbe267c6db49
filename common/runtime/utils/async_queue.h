#pragma once

// A bounded first-in-first-out queue shared by producer and consumer
// threads. A full queue makes producers wait and an empty one makes
// consumers wait; nothing is ever dropped while the queue accepts.
// terminate() wakes every waiter and makes later pushes and pops fail.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace tarvo::utils {

enum class AsyncQueueStatus {
    Success,
    Terminated,
};

// Any thread may call every operation.
template <class T>
class AsyncQueue {
public:
    // Holds at most max_size elements: the ring has one slot more, so that
    // a full ring and an empty one are told apart by the indices alone.
    explicit AsyncQueue(std::uint32_t max_size) : m_slots(std::size_t(max_size) + 1) {}

    AsyncQueue(const AsyncQueue&) = delete;
    AsyncQueue& operator=(const AsyncQueue&) = delete;

    ~AsyncQueue() { terminate(); }

    AsyncQueueStatus push(T&& element) {
        {
            std::unique_lock lock(m_mutex);
            m_not_full.wait(lock, [this] { return m_terminated || !full(); });
            if (m_terminated) {
                return AsyncQueueStatus::Terminated;
            }
            m_slots[m_write] = std::move(element);
            m_write = next(m_write);
        }
        m_not_empty.notify_one();
        return AsyncQueueStatus::Success;
    }

    AsyncQueueStatus pop(T& element) {
        {
            std::unique_lock lock(m_mutex);
            m_not_empty.wait(lock, [this] { return m_terminated || !empty(); });
            if (m_terminated) {
                return AsyncQueueStatus::Terminated;
            }
            element = std::move(*m_slots[m_read]);
            m_slots[m_read].reset();
            m_read = next(m_read);
        }
        m_not_full.notify_one();
        return AsyncQueueStatus::Success;
    }

    // Frees every element still queued and wakes every waiter. Elements are
    // destroyed outside the lock, since a task's captures may be anything.
    void terminate() {
        std::vector<std::optional<T>> dropped;
        {
            std::lock_guard lock(m_mutex);
            m_terminated = true;
            dropped.swap(m_slots);
            m_read = m_write = 0;
        }
        m_not_full.notify_all();
        m_not_empty.notify_all();
    }

    std::size_t size() const {
        std::lock_guard lock(m_mutex);
        return m_write >= m_read ? m_write - m_read : m_write + m_slots.size() - m_read;
    }

private:
    std::size_t next(std::size_t index) const { return (index + 1) % m_slots.size(); }
    bool full() const { return next(m_write) == m_read; }
    bool empty() const { return m_read == m_write; }

    mutable std::mutex m_mutex;
    std::condition_variable m_not_full;   // producers wait here
    std::condition_variable m_not_empty;  // consumers wait here
    // Guarded by m_mutex:
    std::vector<std::optional<T>> m_slots;
    std::size_t m_read = 0;
    std::size_t m_write = 0;
    bool m_terminated = false;
};

}  // namespace tarvo::utils
