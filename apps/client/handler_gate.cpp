#include "apps/client/handler_gate.h"

#include <chrono>

#include "common/runtime/logger.h"

namespace apps {

namespace {

// The gate whose call this thread is inside, if any.
thread_local const HandlerGate* t_inside = nullptr;

// How long close() waits before saying what it waits for, and again after.
constexpr std::chrono::seconds report_interval{5};

}  // namespace

HandlerGate::Passage::Passage(HandlerGate& gate) : m_gate(gate), m_previous(t_inside) {
    t_inside = &gate;
}

HandlerGate::Passage::~Passage() {
    t_inside = m_previous;
    m_gate.leave();
}

bool HandlerGate::enter() {
    std::lock_guard lock(m_mutex);
    if (!m_open) {
        return false;
    }
    ++m_running;
    return true;
}

void HandlerGate::leave() {
    {
        std::lock_guard lock(m_mutex);
        --m_running;
    }
    m_left.notify_all();
}

void HandlerGate::close() {
    const std::size_t own = t_inside == this ? 1 : 0;
    std::unique_lock lock(m_mutex);
    m_open = false;
    // The handler's memory and its client's go once this returns: there is
    // no giving up on the call under way, only saying that it lasts.
    while (!m_left.wait_for(lock, report_interval, [&] { return m_running <= own; })) {
        lock.unlock();
        QOR_LOG_WARNING("Waiting for the state change handler to return before the client ends");
        lock.lock();
    }
}

}  // namespace apps
