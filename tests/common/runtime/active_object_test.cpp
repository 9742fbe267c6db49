#include "common/runtime/active_object.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime/logger.h"
#include "support/wait_until.h"

using common::ActiveObject;
using common::ActiveObjectParams;
using test_support::wait_until;

namespace {

std::string current_thread_name() {
    char name[64] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Holds a worker inside a task until opened.
class Gate {
public:
    void open() { m_promise.set_value(); }
    void wait() { m_future.wait(); }

private:
    std::promise<void> m_promise;
    std::shared_future<void> m_future = m_promise.get_future().share();
};

}  // namespace

TEST(ActiveObjectTest, RunsEveryTaskPostedBeforeDestructionInOrder) {
    std::vector<int> seen;
    {
        ActiveObject object({"order", {}, 1, 8});
        for (int i = 0; i < 200; ++i) {
            object.post([&seen, i] { seen.push_back(i); });
        }
    }
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(seen[i], i);
    }
}

TEST(ActiveObjectTest, AcceptsMoveOnlyTasks) {
    std::atomic<int> value{0};
    {
        ActiveObject object({"move_only", {}, 1, 4});
        auto owned = std::make_unique<int>(42);
        object.post([&value, owned = std::move(owned)] { value = *owned; });
    }
    EXPECT_EQ(value, 42);
}

TEST(ActiveObjectTest, PostWaitsWhileTheQueueIsFull) {
    Gate gate;
    std::atomic<bool> opened{false};
    std::atomic<bool> started{false};
    std::atomic<int> ran{0};
    ActiveObject object({"bounded", {}, 1, 1000});
    object.post([&] {
        started = true;
        gate.wait();
    });
    ASSERT_TRUE(wait_until([&] { return started.load(); }, "the slow task to start"));
    for (int i = 0; i < 1000; ++i) {
        object.post([&ran] { ++ran; });
    }

    std::atomic<bool> returned{false};
    std::atomic<bool> returned_before_open{false};
    std::thread poster([&] {
        object.post([&ran] { ++ran; });
        returned_before_open = !opened.load();
        returned = true;
    });
    EXPECT_FALSE(wait_until([&] { return returned.load(); }, "the 1001st post",
                            std::chrono::milliseconds(100)));
    opened = true;
    gate.open();
    poster.join();
    EXPECT_FALSE(returned_before_open);
    object.join();
    EXPECT_EQ(ran, 1001);
}

TEST(ActiveObjectTest, SpreadsTasksOverItsThreads) {
    std::atomic<int> inside{0};
    Gate gate;
    ActiveObject object({"pool", {}, 3, 10});
    for (int i = 0; i < 3; ++i) {
        object.post([&] {
            ++inside;
            gate.wait();
        });
    }
    // Only three threads at once can hold tasks that all wait on the gate.
    EXPECT_TRUE(wait_until([&] { return inside.load() == 3; }, "three tasks running at once"));
    gate.open();
}

TEST(ActiveObjectTest, JoinRunsPendingTasksAndMayBeRepeated) {
    std::atomic<int> ran{0};
    ActiveObject object({"joiner", {}, 4, 100});
    for (int i = 0; i < 100; ++i) {
        object.post([&ran] { ++ran; });
    }
    object.join();
    EXPECT_EQ(ran, 100);
    object.join();
}

TEST(ActiveObjectDeathTest, ThreadCountOutsideOneToFiftyIsAContractViolation) {
    for (int count : {0, 51, -1}) {
        SCOPED_TRACE(count);
        EXPECT_DEATH(ActiveObject({"bad", {}, count, 10}),
                     "num_threads must be in range 1..MAX_NUM_THREADS");
    }
    for (int count : {1, 50}) {
        SCOPED_TRACE(count);
        ActiveObject object({"fine", {}, count, 10});
    }
}

TEST(ActiveObjectDeathTest, EmptyQueueIsAContractViolation) {
    EXPECT_DEATH(ActiveObject({"no_room", {}, 1, 0}), "max_queue_size must be at least 1");
}

TEST(ActiveObjectDeathTest, JoinFromItsOwnThreadIsAContractViolation) {
    EXPECT_DEATH(
        {
            ActiveObject object({"self_join", {}, 1, 10});
            object.post([&object] { object.join(); });
            object.join();
        },
        "cannot be joined from its own thread");
}

TEST(ActiveObjectDeathTest, PostAfterJoinIsAContractViolation) {
    // A late post that still fits the queue must fail too: one that does
    // not would otherwise wait for ever.
    EXPECT_DEATH(
        {
            ActiveObject object({"late_post", {}, 1, 1});
            object.join();
            object.post([] {});
        },
        "no tasks after join\\(\\)");
}

TEST(ActiveObjectTest, FailingTasksReachTheHandlerAndLaterTasksStillRun) {
    std::mutex mutex;
    std::vector<std::string> reports;  // guarded by mutex
    std::atomic<bool> later_ran{false};
    {
        ActiveObject object({"failing", [&](const std::exception& e) {
                                 std::lock_guard lock(mutex);
                                 reports.push_back(std::string(typeid(e).name()) == typeid(std::runtime_error).name()
                                                       ? std::string("runtime_error: ") + e.what()
                                                       : std::string("other: ") + e.what());
                             },
                             1, 10});
        object.post([] { throw std::logic_error("bad state"); });
        object.post([] { throw 7; });
        object.post(ActiveObject::Task());
        object.post([&] { later_ran = true; });
    }
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], "other: bad state");
    EXPECT_EQ(reports[1], "runtime_error: Unhandled error thrown in thread: failing");
    EXPECT_EQ(reports[2].rfind("other: ", 0), 0u) << reports[2];  // std::bad_function_call
    EXPECT_TRUE(later_ran);
}

TEST(ActiveObjectTest, DefaultHandlerLogsTheFailureAtErrorSeverity) {
    common::logging::initialise_logging();
    std::atomic<bool> later_ran{false};
    testing::internal::CaptureStderr();
    {
        ActiveObject object({"default", {}, 1, 10});
        object.post([] { throw std::runtime_error("disk full"); });
        object.post([&] { later_ran = true; });
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[qor/error] common::default_exception_handler: disk full\n");
    EXPECT_TRUE(later_ran);
}

TEST(ActiveObjectTest, NamesItsThreadsWithinTheSystemLimit) {
    struct Row {
        std::string name;
        std::string expected;
    };
    const std::string long_name(70, 'x');
    const Row rows[] = {
        {"tracing", "tracing"},
        {"conn_state_ntfy", "conn_state_ntfy"},
        {"a_much_longer_thread_name", "a_much_longer_t"},
        {long_name, long_name.substr(0, 15)},
        // Two-byte characters are kept whole: seven of them fill 14 bytes.
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
         "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string seen;
        {
            ActiveObject object({row.name, {}, 1, 1});
            object.post([&seen] { seen = current_thread_name(); });
        }
        EXPECT_EQ(seen, row.expected);
    }
}
