#pragma once

// The faults a reference server injects, settable while it runs: from the
// settings file, by tests in process, and through the run-time control.
//
// Any thread may change the plan; the server thread consults it once per
// request. Rules are tried in the order they were added; a rule with a count
// hits that many requests and is then spent.

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "reference_server/settings/server_settings.h"

namespace reference_server {

// What a rule can match a request by.
struct FaultMatch {
    ipc_tools::MessageType request = ipc_tools::MessageType::UNSET;
    std::string client_id;
    std::string client_name;                 // from the client's CONNECT; empty when unknown
    std::optional<std::uint32_t> block_index;  // raw blocks
    std::optional<std::uint32_t> read_tag;     // raw blocks; the first read of a batch
};

class FaultPlan {
public:
    FaultPlan() = default;
    explicit FaultPlan(const ServerSettings& settings);

    // Any thread.
    void add(FaultRule rule);
    // Drops every rule and every pending or periodic restart.
    void clear();
    // Forget every client and read after `requests` more requests; 0 switches it off.
    void restart_after(std::uint64_t requests);
    // ... and again each time `requests` more were answered; 0 switches it off.
    void restart_every(std::uint64_t requests);
    // Before the next request is handled.
    void restart_now();
    // Rules not yet spent.
    std::size_t rule_count() const;

    // Server thread: the rule hitting this request, if any, used up by one.
    std::optional<FaultRule> take(const FaultMatch& request);
    // Server thread, before each request: whether a restart was asked for
    // with restart_now. Clears the request.
    bool take_restart_request();
    // Server thread, after each answered request: whether to forget every
    // client now.
    bool count_request_and_check_restart();

private:
    struct ActiveRule {
        FaultRule rule;
        std::uint64_t matches = 0;
        std::set<std::pair<std::string, std::uint32_t>> reads_hit;  // once_per_read: client, read tag
    };

    mutable std::mutex m_mutex;
    std::vector<ActiveRule> m_rules;        // guarded by m_mutex
    std::uint64_t m_restart_countdown = 0;  // guarded by m_mutex; 0 means off
    std::uint64_t m_restart_period = 0;     // guarded by m_mutex; 0 means off
    std::uint64_t m_period_countdown = 0;   // guarded by m_mutex
    bool m_restart_requested = false;       // guarded by m_mutex
};

}  // namespace reference_server
