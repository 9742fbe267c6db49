#pragma once

// Holds up the thread that logs a record containing a given text until
// release(), or until a deadline so that a failing test still ends: a
// window in the middle of what that thread is doing, held open.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include <boost/log/core.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/make_shared.hpp>

namespace test_support {

class HeldLogLine {
public:
    explicit HeldLogLine(std::string text) : m_backend(boost::make_shared<Backend>(std::move(text))) {
        m_sink = boost::make_shared<boost::log::sinks::synchronous_sink<Backend>>(m_backend);
        boost::log::core::get()->add_sink(m_sink);
    }
    // The threads that log must be done logging by now (joined): a record
    // still in flight on another thread holds the sink.
    ~HeldLogLine() {
        release();
        boost::log::core::get()->remove_sink(m_sink);
    }
    HeldLogLine(const HeldLogLine&) = delete;
    HeldLogLine& operator=(const HeldLogLine&) = delete;

    void release() {
        {
            std::lock_guard lock(m_backend->mutex);
            m_backend->released = true;
        }
        m_backend->changed.notify_all();
    }

    // Whether a thread has reached the line and is held there.
    bool holding() const {
        std::lock_guard lock(m_backend->mutex);
        return m_backend->holding;
    }

private:
    struct Backend : boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
        explicit Backend(std::string wanted) : text(std::move(wanted)) {}
        void consume(const boost::log::record_view& record) {
            const auto message = record[boost::log::expressions::smessage];
            if (!message || message->find(text) == std::string::npos) {
                return;
            }
            std::unique_lock lock(mutex);
            holding = !released;
            changed.wait_for(lock, std::chrono::seconds(20), [this] { return released; });
            holding = false;
        }
        const std::string text;
        mutable std::mutex mutex;
        std::condition_variable changed;
        bool released = false;  // guarded by mutex
        bool holding = false;   // guarded by mutex
    };
    boost::shared_ptr<Backend> m_backend;
    boost::shared_ptr<boost::log::sinks::synchronous_sink<Backend>> m_sink;
};

}  // namespace test_support
