#pragma once

// The implementation behind apps::Corvane: the parameters collected while
// disconnected, and the current engine, replaced on every connect.
//
// Threads: any application thread. m_mutex guards only the engine pointer;
// every operation copies the pointer under it and uses the copy outside,
// so an engine lives while any call uses it. The parameter members change
// only while disconnected.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/client/corvane.h"
#include "apps/client/handler_gate.h"
#include "common/runtime/diagnostics/state_provider.h"
#include "common/runtime/diagnostics/tracing.h"
#include "data_wrappers/metadata.h"

namespace common {
struct ReadHolder;
}

namespace corvane {
class Client;
}

namespace apps {

class CorvaneImpl : public common::diagnostics::tracing::TraceDomain<CorvaneImpl>,
                    public common::diagnostics::state::StateProvider {
public:
    CorvaneImpl(std::string address, std::string config, bool log_invalid_reads);
    ~CorvaneImpl() override;
    CorvaneImpl(const CorvaneImpl&) = delete;
    CorvaneImpl& operator=(const CorvaneImpl&) = delete;

    Result set_params(const vesk::data_wrappers::v3::Metadata& params);
    Result set_priority(Read::Priority priority);
    Result set_callback_function(void (*callback)());
    Result set_state_change_handler(Corvane::StateChangeHandler handler);
    Result connect();
    Result disconnect();
    Result finish(std::uint64_t timeout);
    void no_more_data();
    PassReadResult pass_read(Read& read, std::uint32_t timeout);
    PassReadResult pass_reads(std::vector<Read>& reads, std::uint32_t timeout);
    void get_completed_reads(std::vector<std::vector<Read>>& reads);
    bool validate_read(const Read& read, std::string& message) const;
    ConnectionStatus get_status() const;
    std::string get_error_message();
    std::string get_internal_state();
    const std::string& get_address() const { return m_address; }
    Result get_basecalling_config(vesk::data_wrappers::v3::Metadata& config);
    Result get_alignment_sam_header(std::string& header);
    Result get_connected_server_info(ConnectedServerInfo& info);
    std::uint64_t num_buffered_samples() const;
    std::uint64_t num_completed_reads() const;

    void log_state(common::diagnostics::state::StateLogger& logger) const override;

private:
    std::shared_ptr<corvane::Client> engine() const;
    // Completes a valid read for queueing; false (logged when asked) for an invalid one.
    bool prepare_read(common::ReadHolder& holder, bool duplex) const;
    std::uint32_t effective_timeout(std::uint32_t timeout) const;

    common::diagnostics::state::StateProviderRegistration m_registration;
    mutable std::mutex m_mutex;
    // Atomic: read by every pass_read, which may race a change made while disconnected.
    std::atomic<std::int32_t> m_priority{static_cast<std::int32_t>(Read::Priority::MEDIUM_PRIORITY)};
    std::uint32_t m_connection_timeout_ms = 15000;
    std::string m_address;
    std::string m_model_set;
    std::string m_barcode_kits;
    std::string m_align_index_file;
    std::string m_bed_file;
    std::string m_minimap2_opt_string;
    std::string m_client_name;
    std::uint32_t m_timeout = 2000;                   // ms
    std::uint32_t m_server_file_load_timeout = 180;   // s
    // Atomic like the priority: set_params may write it while another
    // thread's pass_read reads it.
    std::atomic<std::uint32_t> m_pass_read_timeout{0};  // ms
    std::uint32_t m_reconnect_timeout = 300;          // s
    std::uint64_t m_block_size = 256000;              // samples
    std::uint64_t m_max_reads_queued = 20;
    std::uint64_t m_max_server_read_failures = 10;
    bool m_enable_moves = false;
    std::atomic<bool> m_duplex{false};  // from the configuration details on connect
    bool m_pair_by_channel = false;
    const bool m_log_invalid_reads;
    void (*m_thread_start_callback)() = nullptr;
    Corvane::StateChangeHandler m_state_change_handler;
    // Every engine's listener calls the handler through it; closed when
    // this object ends.
    std::shared_ptr<HandlerGate> m_handler_gate = std::make_shared<HandlerGate>();
    std::shared_ptr<corvane::Client> m_engine;  // guarded by m_mutex
    vesk::data_wrappers::v3::Metadata m_params;
};

}  // namespace apps
