#include "apps/client/corvane.h"

#include <utility>

#include "apps/client/corvane_impl.h"
#include "common/runtime/diagnostics/context_builder.h"
#include "common/runtime/logger.h"

namespace apps {

Corvane::Corvane(std::string address, std::string config, std::string trace_folder, bool log_invalid_reads) {
    common::logging::initialise_logging();
    if (!trace_folder.empty()) {
        common::diagnostics::tracing::ContextBuilder::instance().set_trace_folder(trace_folder);
    }
    m_impl = std::make_unique<CorvaneImpl>(std::move(address), std::move(config), log_invalid_reads);
}

Corvane::~Corvane() = default;

Result Corvane::set_params(const vesk::data_wrappers::v3::Metadata& params) { return m_impl->set_params(params); }
Result Corvane::set_priority(Read::Priority priority) { return m_impl->set_priority(priority); }
Result Corvane::set_callback_function(void (*callback)()) { return m_impl->set_callback_function(callback); }
Result Corvane::set_state_change_handler(StateChangeHandler handler) {
    return m_impl->set_state_change_handler(std::move(handler));
}
Result Corvane::connect() { return m_impl->connect(); }
Result Corvane::disconnect() { return m_impl->disconnect(); }
Result Corvane::finish(std::uint64_t timeout) { return m_impl->finish(timeout); }
void Corvane::no_more_data() { m_impl->no_more_data(); }
PassReadResult Corvane::pass_read(Read& read, std::uint32_t timeout) { return m_impl->pass_read(read, timeout); }
PassReadResult Corvane::pass_reads(std::vector<Read>& reads, std::uint32_t timeout) {
    return m_impl->pass_reads(reads, timeout);
}
void Corvane::get_completed_reads(std::vector<std::vector<Read>>& reads) { m_impl->get_completed_reads(reads); }
bool Corvane::validate_read(const Read& read, std::string& message) const {
    return m_impl->validate_read(read, message);
}
ConnectionStatus Corvane::get_status() const { return m_impl->get_status(); }
std::string Corvane::get_error_message() { return m_impl->get_error_message(); }
std::string Corvane::get_internal_state() { return m_impl->get_internal_state(); }
const std::string& Corvane::get_address() const { return m_impl->get_address(); }
Result Corvane::get_basecalling_config(vesk::data_wrappers::v3::Metadata& config) {
    return m_impl->get_basecalling_config(config);
}
Result Corvane::get_alignment_sam_header(std::string& header) { return m_impl->get_alignment_sam_header(header); }
Result Corvane::get_connected_server_info(ConnectedServerInfo& info) {
    return m_impl->get_connected_server_info(info);
}
std::uint64_t Corvane::num_buffered_samples() const { return m_impl->num_buffered_samples(); }
std::uint64_t Corvane::num_completed_reads() const { return m_impl->num_completed_reads(); }

VersionTag Corvane::get_api_version() { return api_version(); }
VersionTag Corvane::get_data_wrappers_version() { return data_wrappers_version(); }
VersionTag Corvane::get_protocol_version() { return protocol_version(); }
VersionTag Corvane::get_software_version() { return software_version(); }
bool Corvane::check_library_compatibility() { return library_is_compatible(); }

}  // namespace apps
