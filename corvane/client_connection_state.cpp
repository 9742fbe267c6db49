#include "corvane/client_connection_state.h"

#include <exception>
#include <map>
#include <set>
#include <stdexcept>

#include "common/contract.h"
#include "common/logger.h"

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

}  // namespace

ClientConnectionState::ClientConnectionState()
    : m_notifier(common::ActiveObjectParams{notifier_name, log_listener_failure, 1, 1000}) {
    tracing_scope scope(trace_context(), "ClientConnectionState");
    scope.trace(to_string(ClientStatus::disconnected));
}

ClientConnectionState::~ClientConnectionState() {
    // Every notification queued so far is still delivered.
    m_notifier.join();
}

ClientStatus ClientConnectionState::get_status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}

ConnectionErrorInfo ClientConnectionState::get_error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::shared_ptr<ClientConnectionStateSnapshot> ClientConnectionState::get_snapshot() const {
    std::lock_guard lock(m_mutex);
    return std::make_shared<ClientConnectionStateSnapshotImpl>(m_status, m_error);
}

void ClientConnectionState::register_change_handler(ChangeHandler handler) {
    tracing_scope scope(trace_context(), "register_change_handler");
    std::lock_guard lock(m_mutex);
    QOR_EXPECTS(!m_change_handler, "A connection state change handler may only be registered once.");
    m_change_handler = std::move(handler);
}

void ClientConnectionState::set_status(ClientStatus next_status) {
    QOR_EXPECTS(next_status != ClientStatus::error, "set_status cannot be used to set an error state");
    std::unique_lock lock(m_mutex);
    wait_for_room(lock);
    m_error = ConnectionErrorInfo{};
    update_status(next_status);
}

bool ClientConnectionState::set_status_if(ClientStatus expected, ClientStatus next_status) {
    QOR_EXPECTS(next_status != ClientStatus::error, "set_status_if cannot be used to set an error state");
    std::unique_lock lock(m_mutex);
    wait_for_room(lock);
    if (m_status != expected) {
        return false;
    }
    m_error = ConnectionErrorInfo{};
    update_status(next_status);
    return true;
}

void ClientConnectionState::set_error(ConnectionErrorInfo error) {
    trace_context().trace("set_error", [&] { return to_string(error); });
    std::unique_lock lock(m_mutex);
    wait_for_room(lock);
    m_error = std::move(error);
    update_status(ClientStatus::error);
}

// The bound on pending notifications is kept here rather than by a blocking
// post under the lock: a waiting status change releases the lock, so a
// listener that calls back into this object meanwhile cannot deadlock with
// it. The notifier thread itself never waits, since it is the one that
// makes room.
void ClientConnectionState::wait_for_room(std::unique_lock<std::mutex>& lock) {
    if (!m_change_handler || on_notifier_thread()) {
        return;
    }
    m_room.wait(lock, [this] { return m_pending.size() < max_pending_notifications; });
}

// Lock held; the callers have already stored or cleared the error.
void ClientConnectionState::update_status(ClientStatus next_status) {
    const auto& allowed = state_machine.at(m_status);
    if (allowed.count(next_status) == 0) {
        common::raise_contract_violation(
            "state_machine[m_status].count(next_status) > 0",
            "State transition '" + to_string(m_status) + "' to '" + to_string(next_status) + "'", __FILE__,
            __LINE__);
    }
    trace_context().trace("update_status", [next_status] { return to_string(next_status); });
    const auto previous = m_status;
    m_status = next_status;
    if (!m_change_handler) {
        return;
    }
    m_pending.push_back({previous, std::make_shared<ClientConnectionStateSnapshotImpl>(next_status, m_error)});
    if (!m_delivery_posted) {
        // At most one delivery task of ours is ever queued, so this post
        // never waits although it runs under the lock.
        m_delivery_posted = true;
        m_notifier.post([this] { deliver_notifications(); });
    }
}

// Notifier thread. Delivers every pending notification in order, one at a
// time and off the lock. A listener that throws is logged and the later
// notifications are still delivered.
void ClientConnectionState::deliver_notifications() {
    for (;;) {
        Notification next;
        ChangeHandler* handler = nullptr;
        {
            std::lock_guard lock(m_mutex);
            m_notifier_thread = std::this_thread::get_id();
            if (m_pending.empty()) {
                m_delivery_posted = false;
                return;
            }
            next = std::move(m_pending.front());
            m_pending.pop_front();
            // Registered once and never replaced, so it can be called
            // outside the lock.
            handler = &m_change_handler;
        }
        m_room.notify_all();
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

bool ClientConnectionState::on_notifier_thread() const { return std::this_thread::get_id() == m_notifier_thread; }

}  // namespace corvane
