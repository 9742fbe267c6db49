#include "corvane/client_connection_state.h"

#include <exception>
#include <map>
#include <set>
#include <stdexcept>

#include "common/runtime/contract.h"
#include "common/runtime/logger.h"

namespace corvane {

namespace {

using tracing_scope = common::diagnostics::tracing::TraceScope;

const std::map<ClientStatus, std::set<ClientStatus>> state_machine = {
    {ClientStatus::disconnected, {ClientStatus::preparing_connection}},
    {ClientStatus::preparing_connection,
     {ClientStatus::loading_config, ClientStatus::preparing_connection, ClientStatus::disconnected,
      ClientStatus::error}},
    {ClientStatus::loading_config,
     {ClientStatus::loading_alignment_index, ClientStatus::preparing_connection, ClientStatus::disconnected,
      ClientStatus::error}},
    {ClientStatus::loading_alignment_index,
     {ClientStatus::loading_bed_file, ClientStatus::preparing_connection, ClientStatus::disconnected,
      ClientStatus::error}},
    {ClientStatus::loading_bed_file,
     {ClientStatus::connecting, ClientStatus::preparing_connection, ClientStatus::disconnected,
      ClientStatus::error}},
    {ClientStatus::connecting,
     {ClientStatus::connected, ClientStatus::preparing_connection, ClientStatus::disconnected,
      ClientStatus::error}},
    {ClientStatus::connected, {ClientStatus::preparing_connection, ClientStatus::disconnected, ClientStatus::error}},
    {ClientStatus::error, {ClientStatus::disconnected}},
};

constexpr const char* notifier_name = "conn_state_ntfy";

void log_listener_failure(const std::exception& e) {
    QOR_LOG_ERROR("Exception thrown in external client state change handler: " << e.what());
}

// States destroyed by their own listener hand their notifier here: a thread
// cannot join itself, so this one joins it once the delivery under way has
// ended. Its queue is drained when the process ends.
common::ActiveObject& reaper() {
    static common::ActiveObject joiner(common::ActiveObjectParams{"conn_state_reap", {}, 1, 1000});
    return joiner;
}

}  // namespace

ClientConnectionState::Core::Core()
    : notifier(common::ActiveObjectParams{notifier_name, log_listener_failure, 1, 1000}) {}

ClientConnectionState::ClientConnectionState() : m_core(std::make_shared<Core>()) {
    tracing_scope scope(trace_context(), "ClientConnectionState");
    scope.trace(to_string(ClientStatus::disconnected));
}

ClientConnectionState::~ClientConnectionState() {
    if (on_notifier_thread()) {
        // A listener let go of the last reference. The delivery under way
        // holds the core and still delivers every pending notification;
        // the reaper joins the thread after it.
        reaper().post([core = std::move(m_core)] { core->notifier.join(); });
        return;
    }
    // Every notification queued so far is still delivered.
    m_core->notifier.join();
}

ClientStatus ClientConnectionState::get_status() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->status;
}

ConnectionErrorInfo ClientConnectionState::get_error() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->error;
}

std::shared_ptr<ClientConnectionStateSnapshot> ClientConnectionState::get_snapshot() const {
    std::lock_guard lock(m_core->mutex);
    return std::make_shared<ClientConnectionStateSnapshotImpl>(m_core->status, m_core->error);
}

void ClientConnectionState::register_change_handler(ChangeHandler handler) {
    tracing_scope scope(trace_context(), "register_change_handler");
    std::lock_guard lock(m_core->mutex);
    if (m_core->change_handler) {
        QOR_CONTRACT_VIOLATION("!m_change_handler", "A connection state change handler may only be registered once.");
    }
    m_core->change_handler = std::move(handler);
}

void ClientConnectionState::set_status(ClientStatus next_status) {
    QOR_EXPECTS(next_status != ClientStatus::error, "set_status cannot be used to set an error state");
    std::unique_lock lock(m_core->mutex);
    wait_for_room(lock);
    m_core->error = ConnectionErrorInfo{};
    update_status(next_status);
}

bool ClientConnectionState::set_status_if(ClientStatus expected, ClientStatus next_status) {
    QOR_EXPECTS(next_status != ClientStatus::error, "set_status_if cannot be used to set an error state");
    std::unique_lock lock(m_core->mutex);
    wait_for_room(lock);
    if (m_core->status != expected) {
        return false;
    }
    m_core->error = ConnectionErrorInfo{};
    update_status(next_status);
    return true;
}

void ClientConnectionState::set_error(ConnectionErrorInfo error) {
    trace_context().trace("set_error", [&] { return to_string(error); });
    std::unique_lock lock(m_core->mutex);
    wait_for_room(lock);
    m_core->error = std::move(error);
    update_status(ClientStatus::error);
}

// The bound on pending notifications is kept here rather than by a blocking
// post under the lock: a waiting status change releases the lock, so a
// listener that calls back into this object meanwhile cannot deadlock with
// it. The notifier thread itself never waits, since it is the one that
// makes room. Lock held.
void ClientConnectionState::wait_for_room(std::unique_lock<std::mutex>& lock) {
    Core& core = *m_core;
    if (!core.change_handler || core.notifier_thread == std::this_thread::get_id()) {
        return;
    }
    core.room.wait(lock, [&core] { return core.pending.size() < max_pending_notifications; });
}

// Lock held; the callers have already stored or cleared the error.
void ClientConnectionState::update_status(ClientStatus next_status) {
    Core& core = *m_core;
    const auto& allowed = state_machine.at(core.status);
    if (allowed.count(next_status) == 0) {
        common::raise_contract_violation(
            "state_machine[m_status].count(next_status) > 0",
            "State transition '" + to_string(core.status) + "' to '" + to_string(next_status) + "'", __FILE__,
            __LINE__);
    }
    trace_context().trace("update_status", [next_status] { return to_string(next_status); });
    const auto previous = core.status;
    core.status = next_status;
    if (!core.change_handler) {
        return;
    }
    core.pending.push_back({previous, std::make_shared<ClientConnectionStateSnapshotImpl>(next_status, core.error)});
    if (!core.delivery_posted) {
        // At most one delivery task of ours is ever queued, so this post
        // never waits although it runs under the lock.
        core.delivery_posted = true;
        core.notifier.post([shared = m_core] { deliver_notifications(shared); });
    }
}

// Notifier thread. Delivers every pending notification in order, one at a
// time and off the lock. A listener that throws is logged and the later
// notifications are still delivered. Touches only the core: the listener
// may have destroyed the state itself.
void ClientConnectionState::deliver_notifications(const std::shared_ptr<Core>& core) {
    for (;;) {
        Notification next;
        ChangeHandler* handler = nullptr;
        {
            std::lock_guard lock(core->mutex);
            core->notifier_thread = std::this_thread::get_id();
            if (core->pending.empty()) {
                core->delivery_posted = false;
                return;
            }
            next = std::move(core->pending.front());
            core->pending.pop_front();
            // Registered once and never replaced, so it can be called
            // outside the lock.
            handler = &core->change_handler;
        }
        core->room.notify_all();
        trace_context().trace("state_change_notifier", [&next] {
            return to_string(next.previous) + " to " + to_string(next.snapshot->get_status());
        });
        try {
            (*handler)(next.previous, std::move(next.snapshot));
        } catch (const std::exception& e) {
            log_listener_failure(e);
        } catch (...) {
            log_listener_failure(std::runtime_error(std::string("Unhandled error thrown in thread: ") + notifier_name));
        }
    }
}

bool ClientConnectionState::on_notifier_thread() const {
    std::lock_guard lock(m_core->mutex);
    return std::this_thread::get_id() == m_core->notifier_thread;
}

}  // namespace corvane
