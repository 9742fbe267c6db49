#include "common/runtime/active_object.h"

#include <dlfcn.h>
#include <pthread.h>

#include <stdexcept>
#include <system_error>

#include "common/runtime/contract.h"
#include "common/runtime/logger.h"

namespace common {

namespace {

// Set by a stop task on the worker that runs it. A shared flag would let
// every worker end at the first stop task, leaving the other stop tasks
// queued; with more threads than queue slots, join() would then wait for
// ever for room. One stop task per worker, taken by that worker, cannot.
thread_local bool t_stop_requested = false;

// Thread names are capped at 63 characters on every platform; Linux keeps
// only 15 bytes plus the terminator, so there the smaller limit wins.
constexpr std::size_t max_thread_name_chars = 63;
constexpr std::size_t max_thread_name_bytes = 15;

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string cut_thread_name(const std::string& name) {
    std::size_t end = 0;
    std::size_t chars = 0;
    while (end < name.size() && chars < max_thread_name_chars) {
        std::size_t next = end + 1;
        while (next < name.size() && is_continuation_byte(name[next])) {
            ++next;
        }
        if (next > max_thread_name_bytes) {
            break;  // never split a multi-byte character
        }
        end = next;
        ++chars;
    }
    return name.substr(0, end);
}

using set_name_function = int (*)(pthread_t, const char*);

// Looked up at run time so that a C library without the call still loads us.
set_name_function thread_name_setter() {
    static const auto setter =
        reinterpret_cast<set_name_function>(dlsym(RTLD_DEFAULT, "pthread_setname_np"));
    return setter;
}

}  // namespace

void set_current_thread_name(const std::string& name) {
    if (auto setter = thread_name_setter()) {
        setter(pthread_self(), cut_thread_name(name).c_str());
    }
}

void default_exception_handler(const std::exception& e) {
    QOR_LOG_ERROR(e.what());
    throw;
}

ActiveObject::ActiveObject(ActiveObjectParams params)
    : m_queue(params.max_queue_size),
      m_name(std::move(params.name)),
      m_num_threads(params.num_threads),
      m_exception_handler(std::move(params.exception_handler)) {
    QOR_EXPECTS(m_num_threads > 0 && m_num_threads <= MAX_NUM_THREADS,
                "num_threads must be in range 1..MAX_NUM_THREADS");
    // A queue without room would make the first post wait for ever.
    QOR_EXPECTS(params.max_queue_size > 0, "max_queue_size must be at least 1");
    if (!m_exception_handler) {
        m_exception_handler = default_exception_handler;
    }
    std::lock_guard lock(m_join_mutex);
    m_threads.reserve(static_cast<std::size_t>(m_num_threads));
    for (std::int32_t i = 0; i < m_num_threads; ++i) {
        // std::thread reports an unavailable resource as std::system_error;
        // the threads already running must be stopped and joined before the
        // members they use go away.
        try {
            m_threads.emplace_back([this] { run_worker(); });
            m_thread_ids.push_back(m_threads.back().get_id());
        } catch (...) {
            for (std::size_t k = 0; k < m_threads.size(); ++k) {
                push([] { t_stop_requested = true; });
            }
            for (auto& thread : m_threads) {
                thread.join();
            }
            throw;
        }
    }
}

ActiveObject::~ActiveObject() {
    join();
    m_queue.terminate();
}

void ActiveObject::push(Task task) {
    const auto res = m_queue.push(std::move(task));
    QOR_EXPECTS(res == tarvo::utils::AsyncQueueStatus::Success,
                "ActiveObject queue was terminated: an active object takes no tasks after join()");
}

void ActiveObject::post(Task task) { push(std::move(task)); }

void ActiveObject::join() {
    // Checked before taking the lock: a worker waiting for it would never
    // see the stop task that the lock's holder is waiting on.
    for (const auto& id : m_thread_ids) {
        QOR_EXPECTS(id != std::this_thread::get_id(), "an active object cannot be joined from its own thread");
    }
    std::lock_guard lock(m_join_mutex);
    if (m_threads.empty()) {
        return;
    }
    // The stop tasks queue behind everything posted so far, so all of it
    // runs before the threads end.
    for (std::int32_t i = 0; i < m_num_threads; ++i) {
        push([] { t_stop_requested = true; });
    }
    for (auto& thread : m_threads) {
        thread.join();
    }
    m_threads.clear();
    // No thread is left to run a later task: a post would sit in the queue,
    // and once that filled up wait for ever. Terminated, it fails at once.
    m_queue.terminate();
}

void ActiveObject::run_worker() {
    set_current_thread_name(m_name);
    // A failing task is reported to the handler and the worker goes on with
    // the next one: ending the thread would leave later tasks unrun and, once
    // the queue filled up, every poster and join() waiting for ever.
    while (!t_stop_requested) {
        try {
            while (!t_stop_requested) {
                Task task;
                const auto res = m_queue.pop(task);
                QOR_EXPECTS(res == tarvo::utils::AsyncQueueStatus::Success,
                            "ActiveObject queue was terminated");
                task();
            }
        } catch (const std::exception& e) {
            call_exception_handler(e);
        } catch (...) {
            // Thrown and caught again so that the handler runs, as for any
            // other failure, while its exception is the one being handled.
            try {
                throw std::runtime_error("Unhandled error thrown in thread: " + m_name);
            } catch (const std::exception& error) {
                call_exception_handler(error);
            }
        }
    }
}

void ActiveObject::call_exception_handler(const std::exception& e) {
    try {
        m_exception_handler(e);
    } catch (const std::exception& again) {
        // The default handler logs its exception before rethrowing it;
        // anything else a handler throws has not been reported yet.
        if (&again != &e) {
            QOR_LOG_ERROR("exception handler of thread " << m_name << " failed: " << again.what());
        }
    } catch (...) {
        QOR_LOG_ERROR("exception handler of thread " << m_name << " failed");
    }
}

}  // namespace common
