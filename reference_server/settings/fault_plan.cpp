#include "reference_server/settings/fault_plan.h"

#include <algorithm>
#include <utility>

namespace reference_server {

namespace {

bool matches(const FaultRule& rule, const FaultMatch& request) {
    if (rule.request != request.request) {
        return false;
    }
    if (!rule.client.empty() && rule.client != request.client_id && rule.client != request.client_name) {
        return false;
    }
    if (rule.block_index >= 0 &&
        (!request.block_index || *request.block_index != static_cast<std::uint32_t>(rule.block_index))) {
        return false;
    }
    return true;
}

}  // namespace

FaultPlan::FaultPlan(const ServerSettings& settings)
    : m_restart_countdown(settings.restart_after_requests),
      m_restart_period(settings.restart_every_requests),
      m_period_countdown(settings.restart_every_requests) {
    for (const FaultRule& rule : settings.faults) {
        m_rules.push_back({rule, 0, {}});
    }
}

void FaultPlan::add(FaultRule rule) {
    std::lock_guard lock(m_mutex);
    m_rules.push_back({std::move(rule), 0, {}});
}

void FaultPlan::clear() {
    std::lock_guard lock(m_mutex);
    m_rules.clear();
    m_restart_countdown = 0;
    m_restart_period = 0;
    m_period_countdown = 0;
    m_restart_requested = false;
}

void FaultPlan::restart_after(std::uint64_t requests) {
    std::lock_guard lock(m_mutex);
    m_restart_countdown = requests;
}

void FaultPlan::restart_every(std::uint64_t requests) {
    std::lock_guard lock(m_mutex);
    m_restart_period = requests;
    m_period_countdown = requests;
}

void FaultPlan::restart_now() {
    std::lock_guard lock(m_mutex);
    m_restart_requested = true;
}

std::size_t FaultPlan::rule_count() const {
    std::lock_guard lock(m_mutex);
    return m_rules.size();
}

std::optional<FaultRule> FaultPlan::take(const FaultMatch& request) {
    std::lock_guard lock(m_mutex);
    for (auto active = m_rules.begin(); active != m_rules.end(); ++active) {
        const FaultRule& rule = active->rule;
        if (!matches(rule, request)) {
            continue;
        }
        std::optional<std::pair<std::string, std::uint32_t>> read;
        if (rule.once_per_read && request.read_tag) {
            read.emplace(request.client_id, *request.read_tag);
            // A read the rule has hit is resent by its client; that resend
            // must pass, or the read would never get through.
            if (active->reads_hit.count(*read) != 0) {
                continue;
            }
        }
        const std::uint64_t match = ++active->matches;
        if (match <= rule.skip || (match - rule.skip) % std::max<std::uint32_t>(1, rule.every) != 0) {
            continue;
        }
        FaultRule hit = rule;
        if (read) {
            active->reads_hit.insert(*read);
        }
        if (rule.count == 1) {
            m_rules.erase(active);
        } else if (rule.count > 1) {
            --active->rule.count;
        }
        return hit;
    }
    return std::nullopt;
}

bool FaultPlan::take_restart_request() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_restart_requested, false);
}

bool FaultPlan::count_request_and_check_restart() {
    std::lock_guard lock(m_mutex);
    bool restart = false;
    if (m_restart_countdown != 0 && --m_restart_countdown == 0) {
        restart = true;
    }
    if (m_restart_period != 0 && --m_period_countdown == 0) {
        m_period_countdown = m_restart_period;
        restart = true;
    }
    return restart;
}

}  // namespace reference_server
