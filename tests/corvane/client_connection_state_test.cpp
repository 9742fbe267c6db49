#include "corvane/client_connection_state.h"

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

using corvane::ClientConnectionState;
using corvane::ClientStatus;
using corvane::ConnectionError;
using corvane::ConnectionErrorInfo;
using test_support::wait_until;

namespace {

struct Change {
    ClientStatus previous;
    ClientStatus next;
    std::string error;
};

// Records every notification it is given.
class Recorder {
public:
    ClientConnectionState::ChangeHandler handler() {
        return [this](ClientStatus previous, std::shared_ptr<corvane::ClientConnectionStateSnapshot> next) {
            std::lock_guard lock(m_mutex);
            m_changes.push_back({previous, next->get_status(), to_string(next->get_error())});
        };
    }
    std::vector<Change> changes() const {
        std::lock_guard lock(m_mutex);
        return m_changes;
    }
    std::size_t count() const {
        std::lock_guard lock(m_mutex);
        return m_changes.size();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Change> m_changes;
};

void walk_to_connected(ClientConnectionState& state) {
    for (auto status : {ClientStatus::preparing_connection, ClientStatus::loading_config,
                        ClientStatus::loading_alignment_index, ClientStatus::loading_bed_file,
                        ClientStatus::connecting, ClientStatus::connected}) {
        state.set_status(status);
    }
}

}  // namespace

TEST(ConnectionStatusTextTest, NamesAndRanges) {
    EXPECT_EQ(to_string(ClientStatus::loading_bed_file), "loading_bed_file");
    EXPECT_EQ(to_string(ConnectionError::invalid_aligner_options), "invalid_aligner_options");
    EXPECT_EQ(to_string(ConnectionErrorInfo{}), "[no_error] ");
    EXPECT_EQ(to_string(ConnectionErrorInfo{ConnectionError::timed_out, "gone"}), "[timed_out] gone");
    try {
        to_string(static_cast<ClientStatus>(8));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unrecognised ClientStatus value");
    }
    try {
        to_string(static_cast<ConnectionError>(12));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unrecognised ConnectionError value");
    }
}

TEST(ClientConnectionStateTest, ListenerSeesEveryChangeInOrderOffTheCallingThread) {
    ClientConnectionState state;
    Recorder recorder;
    std::atomic<bool> on_caller_thread{false};
    const auto caller = std::this_thread::get_id();
    state.register_change_handler([&, inner = recorder.handler()](auto previous, auto next) {
        if (std::this_thread::get_id() == caller) {
            on_caller_thread = true;
        }
        inner(previous, next);
    });
    walk_to_connected(state);
    state.set_status(ClientStatus::preparing_connection);
    state.set_status(ClientStatus::preparing_connection);
    state.set_status(ClientStatus::disconnected);
    ASSERT_TRUE(wait_until([&] { return recorder.count() == 9; }, "nine notifications"));
    const auto changes = recorder.changes();
    const ClientStatus expected[][2] = {
        {ClientStatus::disconnected, ClientStatus::preparing_connection},
        {ClientStatus::preparing_connection, ClientStatus::loading_config},
        {ClientStatus::loading_config, ClientStatus::loading_alignment_index},
        {ClientStatus::loading_alignment_index, ClientStatus::loading_bed_file},
        {ClientStatus::loading_bed_file, ClientStatus::connecting},
        {ClientStatus::connecting, ClientStatus::connected},
        {ClientStatus::connected, ClientStatus::preparing_connection},
        {ClientStatus::preparing_connection, ClientStatus::preparing_connection},
        {ClientStatus::preparing_connection, ClientStatus::disconnected},
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(changes[i].previous, expected[i][0]);
        EXPECT_EQ(changes[i].next, expected[i][1]);
        EXPECT_EQ(changes[i].error, "[no_error] ");
    }
    EXPECT_FALSE(on_caller_thread);
}

TEST(ClientConnectionStateTest, ErrorIsStoredNotifiedAndClearedByTheNextChange) {
    ClientConnectionState state;
    Recorder recorder;
    state.register_change_handler(recorder.handler());
    for (auto status : {ClientStatus::preparing_connection, ClientStatus::loading_config,
                        ClientStatus::loading_alignment_index, ClientStatus::loading_bed_file,
                        ClientStatus::connecting}) {
        state.set_status(status);
    }
    state.set_error({ConnectionError::timed_out, "no answer"});
    EXPECT_EQ(state.get_status(), ClientStatus::error);
    EXPECT_EQ(state.get_error(), (ConnectionErrorInfo{ConnectionError::timed_out, "no answer"}));
    const auto snapshot = state.get_snapshot();
    EXPECT_EQ(snapshot->get_status(), ClientStatus::error);
    EXPECT_EQ(snapshot->get_error().message, "no answer");

    EXPECT_FALSE(state.set_status_if(ClientStatus::connected, ClientStatus::disconnected));
    EXPECT_EQ(state.get_status(), ClientStatus::error);
    EXPECT_TRUE(state.set_status_if(ClientStatus::error, ClientStatus::disconnected));
    EXPECT_EQ(state.get_error(), ConnectionErrorInfo{});
    // The snapshot taken before keeps its moment.
    EXPECT_EQ(snapshot->get_status(), ClientStatus::error);

    ASSERT_TRUE(wait_until([&] { return recorder.count() == 7; }, "seven notifications"));
    const auto changes = recorder.changes();
    EXPECT_EQ(changes[5].previous, ClientStatus::connecting);
    EXPECT_EQ(changes[5].next, ClientStatus::error);
    EXPECT_EQ(changes[5].error, "[timed_out] no answer");
    EXPECT_EQ(changes[6].previous, ClientStatus::error);
    EXPECT_EQ(changes[6].next, ClientStatus::disconnected);
    EXPECT_EQ(changes[6].error, "[no_error] ");
}

TEST(ClientConnectionStateTest, SetStatusIfLeavesOtherStatusesAlone) {
    ClientConnectionState state;
    walk_to_connected(state);
    EXPECT_FALSE(state.set_status_if(ClientStatus::error, ClientStatus::disconnected));
    EXPECT_EQ(state.get_status(), ClientStatus::connected);
}

TEST(ClientConnectionStateTest, ThrowingListenerIsLoggedAndLaterChangesStillArrive) {
    common::logging::initialise_logging();
    ClientConnectionState state;
    std::atomic<int> calls{0};
    state.register_change_handler([&](ClientStatus, auto next) {
        ++calls;
        if (next->get_status() == ClientStatus::preparing_connection) {
            throw std::runtime_error("listener broke");
        }
        if (next->get_status() == ClientStatus::loading_config) {
            throw 42;
        }
    });
    testing::internal::CaptureStderr();
    state.set_status(ClientStatus::preparing_connection);
    state.set_status(ClientStatus::loading_config);
    state.set_status(ClientStatus::disconnected);
    ASSERT_TRUE(wait_until([&] { return calls == 3; }, "three listener calls"));
    const auto log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Exception thrown in external client state change handler: listener broke"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Exception thrown in external client state change handler: "
                       "Unhandled error thrown in thread: conn_state_ntfy"),
              std::string::npos)
        << log;
}

// A listener that calls back into the state while the notification queue is
// full must not deadlock the thread that is changing the status.
TEST(ClientConnectionStateTest, ListenerCallingBackWhileQueueIsFullDoesNotDeadlock) {
    ClientConnectionState state;
    constexpr int changes = 1500;
    std::atomic<int> attempted{0};
    std::atomic<int> delivered{0};
    std::atomic<bool> first{true};
    state.register_change_handler([&](ClientStatus, auto) {
        if (first.exchange(false)) {
            // Hold the notifier until the producer has run past the bound.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (attempted < static_cast<int>(ClientConnectionState::max_pending_notifications) + 1 &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            EXPECT_EQ(state.get_status(), ClientStatus::preparing_connection);
            state.set_status(ClientStatus::preparing_connection);
            (void)state.get_snapshot();
        }
        ++delivered;
    });
    state.set_status(ClientStatus::preparing_connection);
    std::thread producer([&] {
        for (int i = 0; i < changes; ++i) {
            ++attempted;
            state.set_status(ClientStatus::preparing_connection);
        }
    });
    const bool finished = wait_until([&] { return delivered == changes + 2; }, "every notification",
                                     std::chrono::seconds(20));
    producer.join();
    EXPECT_TRUE(finished);
}

// A listener may drop the last reference to the state (an application
// handler that replaces or destroys its client): the process goes on, what
// was pending is still delivered, and the notifier thread ends.
TEST(ClientConnectionStateTest, ListenerMayDestroyTheStateFromTheNotifierThread) {
    auto owner = std::make_shared<std::shared_ptr<ClientConnectionState>>(std::make_shared<ClientConnectionState>());
    ClientConnectionState& state = **owner;
    std::promise<void> queued;
    auto both_queued = queued.get_future().share();
    std::mutex mutex;
    std::vector<ClientStatus> seen;  // guarded by mutex
    // Lives as long as the listener, which lives as long as the notifier.
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> listener_alive = token;
    state.register_change_handler(
        [owner, both_queued, token = std::move(token), &mutex, &seen](ClientStatus, auto next) {
            both_queued.wait();
            if (next->get_status() == ClientStatus::preparing_connection) {
                owner->reset();
            }
            std::lock_guard lock(mutex);
            seen.push_back(next->get_status());
        });
    std::weak_ptr<ClientConnectionState> state_alive = *owner;
    state.set_status(ClientStatus::preparing_connection);
    state.set_status(ClientStatus::loading_config);
    // From here on only the listener touches the state.
    queued.set_value();

    EXPECT_TRUE(wait_until([&] { return state_alive.expired(); }, "the listener to destroy the state"));
    EXPECT_TRUE(wait_until([&] { return listener_alive.expired(); }, "the notifier to be joined and freed"));
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<ClientStatus>{ClientStatus::preparing_connection, ClientStatus::loading_config}));
}

using ClientConnectionStateDeathTest = testing::Test;

TEST(ClientConnectionStateDeathTest, IllegalTransitionsAreContractViolations) {
    EXPECT_DEATH(
        {
            ClientConnectionState state;
            walk_to_connected(state);
            state.set_status(ClientStatus::connected);
        },
        "State transition 'connected' to 'connected'\n.*\"state_machine\\[m_status\\]\\.count\\(next_status\\) > 0\"");
    EXPECT_DEATH(
        {
            ClientConnectionState state;
            state.set_status(ClientStatus::disconnected);
        },
        "State transition 'disconnected' to 'disconnected'");
    EXPECT_DEATH(
        {
            ClientConnectionState state;
            state.set_status(ClientStatus::error);
        },
        "set_status cannot be used to set an error state\n.*\"next_status != ClientStatus::error\"");
    EXPECT_DEATH(
        {
            ClientConnectionState state;
            state.set_status_if(ClientStatus::disconnected, ClientStatus::error);
        },
        "set_status_if cannot be used to set an error state");
}

TEST(ClientConnectionStateDeathTest, SecondListenerIsAContractViolation) {
    EXPECT_DEATH(
        {
            ClientConnectionState state;
            state.register_change_handler([](ClientStatus, auto) {});
            state.register_change_handler([](ClientStatus, auto) {});
        },
        "A connection state change handler may only be registered once\\.\n.*\"!m_change_handler\"");
}
