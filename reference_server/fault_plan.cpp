#include "reference_server/fault_plan.h"

#include <utility>

namespace reference_server {

FaultPlan::FaultPlan(const ServerSettings& settings)
    : m_rules(settings.faults), m_restart_countdown(settings.restart_after_requests) {}

void FaultPlan::add(FaultRule rule) {
    std::lock_guard lock(m_mutex);
    m_rules.push_back(std::move(rule));
}

void FaultPlan::clear() {
    std::lock_guard lock(m_mutex);
    m_rules.clear();
    m_restart_countdown = 0;
}

void FaultPlan::restart_after(std::uint64_t requests) {
    std::lock_guard lock(m_mutex);
    m_restart_countdown = requests;
}

std::optional<FaultRule> FaultPlan::take(ipc_tools::MessageType request) {
    std::lock_guard lock(m_mutex);
    for (auto rule = m_rules.begin(); rule != m_rules.end(); ++rule) {
        if (rule->request != request) {
            continue;
        }
        FaultRule hit = *rule;
        if (rule->count == 1) {
            m_rules.erase(rule);
        } else if (rule->count > 1) {
            --rule->count;
        }
        return hit;
    }
    return std::nullopt;
}

bool FaultPlan::count_request_and_check_restart() {
    std::lock_guard lock(m_mutex);
    if (m_restart_countdown == 0) {
        return false;
    }
    return --m_restart_countdown == 0;
}

}  // namespace reference_server
