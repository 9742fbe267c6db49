#pragma once

// Files the reference server loads on threads of their own, by key, so that
// the server thread keeps answering (LOADING) while a large file loads.
//
// poll() starts the load of a key it has not seen and reports how it stands;
// a failed load is reported once and forgotten, so that asking again tries
// again. The destructor joins every load thread, waiting for loads still
// running (a library load cannot be interrupted).
//
// poll() and find() are for the owning (server) thread; the load threads
// only write their outcome, under the mutex.

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
    using Load = std::function<std::shared_ptr<const T>()>;

    struct Status {
        BackgroundLoadState state = BackgroundLoadState::loading;
        std::shared_ptr<const T> value;  // when loaded
        std::string error;               // when failed: what the load threw
    };

    BackgroundLoads() = default;
    BackgroundLoads(const BackgroundLoads&) = delete;
    BackgroundLoads& operator=(const BackgroundLoads&) = delete;
    ~BackgroundLoads() {
        for (std::thread& thread : m_threads) {
            thread.join();
        }
    }

    Status poll(const std::string& key, const Load& load) {
        {
            std::lock_guard lock(m_mutex);
            const auto known = m_status.find(key);
            if (known != m_status.end()) {
                Status status = known->second;
                if (status.state == BackgroundLoadState::failed) {
                    m_status.erase(known);
                }
                return status;
            }
            m_status.emplace(key, Status{});
        }
        m_threads.emplace_back([this, key, load] {
            Status outcome;
            try {
                outcome.value = load();
                outcome.state = BackgroundLoadState::loaded;
            } catch (const std::exception& error) {
                outcome.state = BackgroundLoadState::failed;
                outcome.error = error.what();
            }
            std::lock_guard lock(m_mutex);
            m_status[key] = std::move(outcome);
        });
        return Status{};
    }

    // The value of a finished load; null while loading, after a failure or for an unknown key.
    std::shared_ptr<const T> find(const std::string& key) const {
        std::lock_guard lock(m_mutex);
        const auto known = m_status.find(key);
        return known == m_status.end() ? nullptr : known->second.value;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, Status> m_status;  // guarded by m_mutex; by key
    std::vector<std::thread> m_threads;      // owning thread only
};

}  // namespace reference_server
