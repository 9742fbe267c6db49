#pragma once

// Files the reference server loads on threads of their own, by key, so that
// the server thread keeps answering (LOADING) while a large file loads.
//
// poll() starts the load of a key it has not seen and reports how it
// stands. What one client can make the server hold is bounded:
// - at most `max_running` loads run at once; a key asked for while they
//   all run is not started (and not remembered): it answers LOADING, and
//   starts when asked again once one has finished;
// - at most `max_kept` values are kept, loads running included; to start
//   another, the least recently used value (by poll or find) is unloaded;
// - a load thread is joined as soon as its load has ended;
// - a failure is remembered for `failure_memory` and answered again when
//   its key is asked for meanwhile, instead of loading again (at most
//   max_remembered_failures of them, the oldest forgotten first).
// Values handed out live on with their holders after being unloaded. The
// destructor joins every load thread, waiting for loads still running (a
// library load cannot be interrupted).
//
// poll(), find(), unload() and the counts are for the owning (server)
// thread; the load threads only write their outcome, under the mutex.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace reference_server {

enum class BackgroundLoadState { loading, loaded, failed };

template <typename T>
class BackgroundLoads {
public:
    using Clock = std::chrono::steady_clock;
    using Load = std::function<std::shared_ptr<const T>()>;

    static constexpr std::size_t max_remembered_failures = 256;

    struct Limits {
        std::size_t max_kept = 4;
        std::size_t max_running = 2;
        std::chrono::milliseconds failure_memory{10'000};
    };

    struct Status {
        BackgroundLoadState state = BackgroundLoadState::loading;
        std::shared_ptr<const T> value;  // when loaded
        std::string error;               // when failed: what the load threw
        // Keys unloaded to make room for this load.
        std::vector<std::string> unloaded;
    };

    explicit BackgroundLoads(Limits limits) : m_limits(limits) {}
    BackgroundLoads(const BackgroundLoads&) = delete;
    BackgroundLoads& operator=(const BackgroundLoads&) = delete;
    ~BackgroundLoads() {
        for (Running& running : m_running) {
            running.thread.join();
        }
    }

    Status poll(const std::string& key, const Load& load, Clock::time_point now = Clock::now()) {
        join_finished();
        Status status;
        std::vector<std::shared_ptr<const T>> freed;  // outside the lock
        {
            std::lock_guard lock(m_mutex);
            forget_old_failures(now);
            if (const auto known = m_entries.find(key); known != m_entries.end()) {
                Entry& entry = known->second;
                entry.last_used = ++m_use_count;
                status.state = entry.state;
                status.value = entry.value;
                status.error = entry.error;
                return status;
            }
            if (m_running.size() >= m_limits.max_running || !make_room(status.unloaded, freed)) {
                return status;
            }
            m_entries[key] = Entry{BackgroundLoadState::loading, nullptr, {}, ++m_use_count, {}};
        }
        m_running.push_back({key, std::thread([this, key, load] {
                                 Entry outcome;
                                 try {
                                     outcome.value = load();
                                     outcome.state = BackgroundLoadState::loaded;
                                 } catch (const std::exception& error) {
                                     outcome.state = BackgroundLoadState::failed;
                                     outcome.error = error.what();
                                     outcome.forget_at = Clock::now() + m_limits.failure_memory;
                                 }
                                 std::lock_guard lock(m_mutex);
                                 Entry& entry = m_entries[key];
                                 outcome.last_used = entry.last_used;
                                 entry = std::move(outcome);
                             })});
        return status;
    }

    // The value of a finished load, counted as a use; null while loading,
    // after a failure or for an unknown key.
    std::shared_ptr<const T> find(const std::string& key) {
        std::lock_guard lock(m_mutex);
        const auto known = m_entries.find(key);
        if (known == m_entries.end() || known->second.state != BackgroundLoadState::loaded) {
            return nullptr;
        }
        known->second.last_used = ++m_use_count;
        return known->second.value;
    }

    // Unloads the loaded values whose keys `pick` chooses; returns their keys.
    std::vector<std::string> unload(const std::function<bool(const std::string&)>& pick) {
        std::vector<std::string> keys;
        std::vector<std::shared_ptr<const T>> values;  // freed outside the lock
        std::lock_guard lock(m_mutex);
        for (auto entry = m_entries.begin(); entry != m_entries.end();) {
            if (entry->second.state == BackgroundLoadState::loaded && pick(entry->first)) {
                keys.push_back(entry->first);
                values.push_back(std::move(entry->second.value));
                entry = m_entries.erase(entry);
            } else {
                ++entry;
            }
        }
        return keys;
    }

    // Loads under way, and load threads not yet joined.
    std::size_t running() const { return m_running.size(); }
    std::size_t loaded() const {
        std::lock_guard lock(m_mutex);
        std::size_t count = 0;
        for (const auto& [key, entry] : m_entries) {
            count += entry.state == BackgroundLoadState::loaded ? 1 : 0;
        }
        return count;
    }

private:
    struct Entry {
        BackgroundLoadState state = BackgroundLoadState::loading;
        std::shared_ptr<const T> value;
        std::string error;
        std::uint64_t last_used = 0;
        Clock::time_point forget_at;  // failed
    };

    struct Running {
        std::string key;
        std::thread thread;
    };

    // Owning thread: joins the threads whose load has ended.
    void join_finished() {
        for (auto running = m_running.begin(); running != m_running.end();) {
            bool ended = false;
            {
                std::lock_guard lock(m_mutex);
                const auto entry = m_entries.find(running->key);
                ended = entry == m_entries.end() || entry->second.state != BackgroundLoadState::loading;
            }
            if (ended) {
                running->thread.join();
                running = m_running.erase(running);
            } else {
                ++running;
            }
        }
    }

    // Under m_mutex.
    void forget_old_failures(Clock::time_point now) {
        std::size_t failures = 0;
        auto oldest = m_entries.end();
        for (auto entry = m_entries.begin(); entry != m_entries.end();) {
            if (entry->second.state == BackgroundLoadState::failed && entry->second.forget_at <= now) {
                entry = m_entries.erase(entry);
                continue;
            }
            if (entry->second.state == BackgroundLoadState::failed) {
                ++failures;
                if (oldest == m_entries.end() || entry->second.forget_at < oldest->second.forget_at) {
                    oldest = entry;
                }
            }
            ++entry;
        }
        if (failures >= max_remembered_failures && oldest != m_entries.end()) {
            m_entries.erase(oldest);
        }
    }

    // Under m_mutex: unloads least recently used values (into `values`, for
    // the caller to free) until another load fits; false when the room is
    // all taken by loads still running.
    bool make_room(std::vector<std::string>& keys, std::vector<std::shared_ptr<const T>>& values) {
        while (true) {
            std::size_t kept = 0;
            auto least = m_entries.end();
            for (auto entry = m_entries.begin(); entry != m_entries.end(); ++entry) {
                if (entry->second.state == BackgroundLoadState::failed) {
                    continue;
                }
                ++kept;
                if (entry->second.state == BackgroundLoadState::loaded &&
                    (least == m_entries.end() || entry->second.last_used < least->second.last_used)) {
                    least = entry;
                }
            }
            if (kept < m_limits.max_kept) {
                return true;
            }
            if (least == m_entries.end()) {
                return false;
            }
            keys.push_back(least->first);
            values.push_back(std::move(least->second.value));
            m_entries.erase(least);
        }
    }

    const Limits m_limits;
    std::vector<Running> m_running;  // owning thread only

    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;  // guarded by m_mutex; by key
    std::uint64_t m_use_count = 0;           // guarded by m_mutex
};

}  // namespace reference_server
