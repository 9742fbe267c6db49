#pragma once

// The faults a reference server injects, settable while it runs.
//
// Any thread may change the plan; the server thread consults it once per
// request. A rule with a count hits that many matching requests and is then
// spent; rules are tried in the order they were added.

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "reference_server/server_settings.h"

namespace reference_server {

class FaultPlan {
public:
    FaultPlan() = default;
    explicit FaultPlan(const ServerSettings& settings);

    // Any thread.
    void add(FaultRule rule);
    // Drops every rule and any pending restart.
    void clear();
    // Forget every client after `requests` more requests; 0 switches it off.
    void restart_after(std::uint64_t requests);

    // Server thread: the rule hitting this request, if any, used up by one.
    std::optional<FaultRule> take(ipc_tools::MessageType request);
    // Server thread, after each answered request: whether to forget every
    // client now. Fires once per restart_after call.
    bool count_request_and_check_restart();

private:
    mutable std::mutex m_mutex;
    std::vector<FaultRule> m_rules;        // guarded by m_mutex
    std::uint64_t m_restart_countdown = 0;  // guarded by m_mutex; 0 means off
};

}  // namespace reference_server
