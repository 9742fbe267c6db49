#pragma once

// An active object runs tasks on threads of its own, fed through a bounded
// first-in-first-out queue. Callers post and go on; a full queue makes the
// poster wait, and nothing posted before join() is dropped.
//
//   common::ActiveObject notifier({"conn_state_ntfy", {}, 1, 1000});
//   notifier.post([listener, snapshot] { listener(snapshot); });
//
// With one thread, tasks run one at a time in posting order.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/runtime/utils/async_queue.h"
#include "common/runtime/utils/move_only_task.h"

namespace common {

// Logs what() at error severity, then rethrows the exception being handled:
// call it only from inside a catch block, as the workers do.
void default_exception_handler(const std::exception& e);

struct ActiveObjectParams {
    std::string name;  // also the name of each worker thread
    // Called on the worker thread when a task throws; empty means
    // default_exception_handler.
    std::function<void(const std::exception&)> exception_handler;
    std::int32_t num_threads = 1;
    std::uint32_t max_queue_size = 1000;
};

// post() from any thread. join() and the destructor from any thread but the
// object's own workers.
class ActiveObject {
public:
    using Task = utils::MoveOnlyTask;
    static constexpr std::int32_t MAX_NUM_THREADS = 50;

    explicit ActiveObject(ActiveObjectParams params);
    ~ActiveObject();
    ActiveObject(const ActiveObject&) = delete;
    ActiveObject& operator=(const ActiveObject&) = delete;

    // Queues the task, waiting while the queue is full. Posting after
    // join() has begun is a contract violation.
    void post(Task task);

    // Lets every task posted so far run, then stops and joins the threads.
    // Later calls return at once.
    void join();

    const std::string& name() const { return m_name; }

private:
    void run_worker();
    void call_exception_handler(const std::exception& e);
    void push(Task task);

    tarvo::utils::AsyncQueue<Task> m_queue;
    std::mutex m_join_mutex;
    std::vector<std::thread> m_threads;  // guarded by m_join_mutex once started
    std::vector<std::thread::id> m_thread_ids;  // written by the constructor only
    std::string m_name;
    std::int32_t m_num_threads;
    std::function<void(const std::exception&)> m_exception_handler;
};

// Names the calling thread for debuggers and process listings. Linux keeps
// at most 15 bytes of a thread name, so longer names are cut (at a
// character boundary). Does nothing where the system lacks the call.
void set_current_thread_name(const std::string& name);

}  // namespace common
