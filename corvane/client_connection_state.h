#pragma once

// The engine's connection status, the error that explains the last failure,
// and notification of every change to one listener on a thread of its own.
//
// Status changes are checked against a fixed table of allowed transitions;
// an illegal one is a contract violation. An error can only be entered
// through set_error, and every other change clears the stored error.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/runtime/active_object.h"
#include "common/runtime/diagnostics/tracing.h"
#include "corvane/client_status.h"

namespace corvane {

// One moment of the state, immutable, shared with the listener.
class ClientConnectionStateSnapshot {
public:
    virtual const ClientStatus& get_status() const = 0;
    virtual const ConnectionErrorInfo& get_error() const = 0;
    virtual ~ClientConnectionStateSnapshot() = default;
};

class ClientConnectionStateSnapshotImpl final : public ClientConnectionStateSnapshot {
public:
    ClientConnectionStateSnapshotImpl(ClientStatus status, ConnectionErrorInfo error)
        : m_status(status), m_error(std::move(error)) {}
    const ClientStatus& get_status() const override { return m_status; }
    const ConnectionErrorInfo& get_error() const override { return m_error; }

private:
    const ClientStatus m_status;
    const ConnectionErrorInfo m_error;
};

// Any thread may call every operation. The listener runs only on the
// notifier thread "conn_state_ntfy", never under the state lock, so it may
// call back into this object (get_status, get_snapshot, even set_status),
// and it may destroy it: the notifier thread then still delivers what is
// pending, and is joined by a process-wide reaper thread afterwards.
class ClientConnectionState : public common::diagnostics::tracing::TraceDomain<ClientConnectionState> {
public:
    using ChangeHandler =
        std::function<void(ClientStatus previous, std::shared_ptr<ClientConnectionStateSnapshot> next)>;

    // Most notifications that may wait for the listener at once.
    static constexpr std::size_t max_pending_notifications = 1000;

    ClientConnectionState();
    ~ClientConnectionState();
    ClientConnectionState(const ClientConnectionState&) = delete;
    ClientConnectionState& operator=(const ClientConnectionState&) = delete;

    ClientStatus get_status() const;
    ConnectionErrorInfo get_error() const;
    std::shared_ptr<ClientConnectionStateSnapshot> get_snapshot() const;

    // At most once, before the engine starts connecting.
    void register_change_handler(ChangeHandler handler);

    // Any status but error; clears the stored error.
    void set_status(ClientStatus next_status);
    // Changes the status only when it is `expected`; returns whether it did.
    bool set_status_if(ClientStatus expected, ClientStatus next_status);
    // Stores the error and enters the error status.
    void set_error(ConnectionErrorInfo error);

private:
    struct Notification {
        ClientStatus previous;
        std::shared_ptr<ClientConnectionStateSnapshot> snapshot;
    };

    // Everything the notifier thread touches. Held by the state and by the
    // delivery task under way, so a listener that destroys the state does
    // not pull it from under the delivery.
    struct Core {
        Core();

        mutable std::mutex mutex;
        std::condition_variable room;                      // signalled as notifications are delivered
        ClientStatus status = ClientStatus::disconnected;  // guarded by mutex
        ConnectionErrorInfo error;                         // guarded by mutex
        ChangeHandler change_handler;                      // guarded by mutex; set once
        std::deque<Notification> pending;                  // guarded by mutex
        bool delivery_posted = false;                      // guarded by mutex
        std::thread::id notifier_thread;                   // guarded by mutex
        common::ActiveObject notifier;
    };

    void wait_for_room(std::unique_lock<std::mutex>& lock);
    void update_status(ClientStatus next_status);
    static void deliver_notifications(const std::shared_ptr<Core>& core);
    bool on_notifier_thread() const;

    std::shared_ptr<Core> m_core;  // never null while the state lives
};

}  // namespace corvane
