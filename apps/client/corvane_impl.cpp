#include "apps/client/corvane_impl.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/runtime/active_object.h"
#include "common/runtime/diagnostics/context_builder.h"
#include "common/runtime/diagnostics/json_formatter.h"
#include "common/runtime/logger.h"
#include "common/read_model/read_holder.h"
#include "corvane/client.h"
#include "apps/client/result_conversions.h"
#include "ipc_tools/connection_info.h"

namespace apps {

namespace {

using common::diagnostics::tracing::TraceScope;
namespace dw = vesk::data_wrappers;

// The engine whose state change handler this thread is running, if any.
// From inside the handler, waiting for that engine's worker could wait for
// this very thread (a worker changing status waits while the notifier's
// queue is full), and destroying the engine would join this thread.
thread_local const corvane::Client* t_notifying_engine = nullptr;

class NotifyingEngineMark {
public:
    explicit NotifyingEngineMark(const corvane::Client* engine) : m_previous(std::exchange(t_notifying_engine, engine)) {}
    ~NotifyingEngineMark() { t_notifying_engine = m_previous; }
    NotifyingEngineMark(const NotifyingEngineMark&) = delete;
    NotifyingEngineMark& operator=(const NotifyingEngineMark&) = delete;

private:
    const corvane::Client* m_previous;
};

bool on_notifier_of(const std::shared_ptr<corvane::Client>& engine) {
    return engine && engine.get() == t_notifying_engine;
}

// Destroys engines whose last reference went on their own notifier thread,
// once that thread has left the handler.
common::ActiveObject& engine_reaper() {
    static common::ActiveObject reaper(common::ActiveObjectParams{"client_reaper", {}, 1, 1000});
    return reaper;
}

// Drops one reference to an engine, outside every lock of the facade.
void release_engine(std::shared_ptr<corvane::Client> engine) {
    if (on_notifier_of(engine)) {
        engine->request_stop();
        engine_reaper().post([engine = std::move(engine)]() mutable { engine.reset(); });
    }
}

// Whether a parameter reaches the server in the connection text, where a
// '>' in its value would start an item of its own.
bool reaches_connection_text(const std::string& key) {
    static const std::string base_text = [] {
        ipc_tools::ConnectionInfo probe;
        return ipc_tools::to_connect_text(probe);
    }();
    ipc_tools::ConnectionInfo probe;
    probe.params.set(key, std::string());
    return ipc_tools::to_connect_text(probe) != base_text;
}

// Nothing when the parameters are safe to send; otherwise the reason.
std::string injection_refusal(const dw::v3::Metadata& params) {
    for (const auto& [key, value] : params) {
        const auto* text = std::get_if<std::string>(&value);
        if (text && text->find('>') != std::string::npos && (key == "client_name" || reaches_connection_text(key))) {
            return "parameter '" + key + "' holds '>', which the connection text cannot carry: " + *text;
        }
    }
    return {};
}

template <class T>
void take_param(const dw::v3::Metadata& params, const char* key, T& member) {
    if (const T* value = params.find<T>(key)) {
        member = *value;
    }
}

// Relative paths are made absolute against this process's working
// directory, as the connection text does.
void make_absolute(std::string& align_ref, std::string& bed_file) {
    ipc_tools::ConnectionInfo probe;
    probe.align_ref = align_ref;
    probe.bed_file = bed_file;
    ipc_tools::to_connect_text(probe);
    align_ref = std::move(probe.align_ref);
    bed_file = std::move(probe.bed_file);
}

}  // namespace

CorvaneImpl::CorvaneImpl(std::string address, std::string config, bool log_invalid_reads)
    : m_address(std::move(address)), m_model_set(std::move(config)), m_log_invalid_reads(log_invalid_reads) {
    TraceScope scope(trace_context(), "CorvaneImpl");
    scope.trace([&] { return "address: " + m_address; });
    m_registration = common::diagnostics::state::StateProviderRegistration(this, "Corvane");
}

CorvaneImpl::~CorvaneImpl() {
    TraceScope scope(trace_context(), "~CorvaneImpl");
    m_registration = common::diagnostics::state::StateProviderRegistration();
    m_params.clear();
    std::shared_ptr<corvane::Client> engine;
    {
        std::lock_guard lock(m_mutex);
        engine = std::move(m_engine);
    }
    release_engine(std::move(engine));
    // An engine still held elsewhere (by a call its handler makes into this
    // client) ends later: its handler calls end here.
    m_handler_gate->close();
}

std::shared_ptr<corvane::Client> CorvaneImpl::engine() const {
    std::lock_guard lock(m_mutex);
    return m_engine;
}

ConnectionStatus CorvaneImpl::get_status() const {
    const auto client = engine();
    if (!client) {
        return ConnectionStatus::disconnected;
    }
    return to_connection_status(client->connection_state().get_status());
}

Result CorvaneImpl::set_params(const dw::v3::Metadata& params) {
    TraceScope scope(trace_context(), "set_params");
    for (const auto& [key, value] : params) {
        scope.trace([&, &key = key] { return key + ": " + params.value_as_string(key); });
    }
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    if (const std::string refusal = injection_refusal(params); !refusal.empty()) {
        QOR_LOG_ERROR("Refusing client parameters: " << refusal);
        return Result::failed;
    }
    take_param(params, "client_name", m_client_name);
    auto& tracing = common::diagnostics::tracing::ContextBuilder::instance();
    tracing.set_name(m_client_name);
    tracing.initialise();
    take_param(params, "query_timeout", m_timeout);
    take_param(params, "server_file_load_timeout", m_server_file_load_timeout);
    std::uint32_t pass_read_timeout = m_pass_read_timeout.load();
    take_param(params, "pass_read_timeout", pass_read_timeout);
    m_pass_read_timeout.store(pass_read_timeout);
    take_param(params, "connection_timeout", m_connection_timeout_ms);
    take_param(params, "reconnect_timeout", m_reconnect_timeout);
    take_param(params, "max_message_size", m_block_size);
    take_param(params, "max_reads_queued", m_max_reads_queued);
    take_param(params, "barcode_kits", m_barcode_kits);
    take_param(params, "align_ref", m_align_index_file);
    take_param(params, "bed_file", m_bed_file);
    take_param(params, "minimap_opt_string", m_minimap2_opt_string);
    take_param(params, "pair_by_channel", m_pair_by_channel);
    take_param(params, "max_server_read_failures", m_max_server_read_failures);
    take_param(params, "move_enabled", m_enable_moves);
    m_params.merge(params);
    return Result::success;
}

Result CorvaneImpl::set_priority(Read::Priority priority) {
    trace_context().trace("set_priority", std::to_string(static_cast<std::int32_t>(priority)));
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    m_priority.store(static_cast<std::int32_t>(priority));
    return Result::success;
}

Result CorvaneImpl::set_callback_function(void (*callback)()) {
    TraceScope scope(trace_context(), "set_callback_function");
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    m_thread_start_callback = callback;
    return Result::success;
}

Result CorvaneImpl::set_state_change_handler(Corvane::StateChangeHandler handler) {
    trace_context().trace("set_state_change_handler", "state change handler registered");
    if (get_status() != ConnectionStatus::disconnected) {
        return Result::already_connected;
    }
    m_state_change_handler = std::move(handler);
    return Result::success;
}

Result CorvaneImpl::connect() {
    TraceScope scope(trace_context(), "connect");
    const ConnectionStatus status = get_status();
    if (status != ConnectionStatus::disconnected) {
        return status == ConnectionStatus::error ? Result::failed : Result::already_connected;
    }
    if (m_model_set.find_first_of(":>") != std::string::npos) {
        QOR_LOG_ERROR("Refusing to connect: the configuration name holds ':' or '>', which the connection text "
                      "cannot carry: "
                      << m_model_set);
        return Result::failed;
    }

    ipc_tools::ConnectionInfo info;
    info.config = m_model_set;
    info.client_name = m_client_name;
    info.barcode_kits = m_barcode_kits;
    info.align_ref = m_align_index_file;
    info.minimap_opt_string = m_minimap2_opt_string;
    info.bed_file = m_bed_file;
    make_absolute(info.align_ref, info.bed_file);
    info.priority = m_priority.load();
    info.params = m_params;
    if (!info.align_ref.empty()) {
        info.params.set("align_ref", info.align_ref);
    }
    if (!info.bed_file.empty()) {
        info.params.set("bed_file", info.bed_file);
    }
    info.params.set("barcode_kits", m_barcode_kits);
    info.timeout_interval = m_connection_timeout_ms;
    scope.trace("connecting");

    auto next = std::make_shared<corvane::Client>(m_block_size, m_max_reads_queued, m_max_server_read_failures,
                                                  m_enable_moves, m_thread_start_callback);
    next->set_reconnect_timeout(m_reconnect_timeout);
    if (m_state_change_handler) {
        // The listener holds the handler, not this object: the handler may
        // destroy the client it belongs to.
        auto handler = std::make_shared<Corvane::StateChangeHandler>(m_state_change_handler);
        const corvane::Client* notifying = next.get();
        next->connection_state().register_change_handler(
            [handler, gate = m_handler_gate, notifying](
                corvane::ClientStatus previous, std::shared_ptr<corvane::ClientConnectionStateSnapshot> snapshot) {
                gate->run([&] {
                    NotifyingEngineMark mark(notifying);
                    (*handler)(to_connection_status(previous), to_connection_status(snapshot->get_status()),
                               corvane::to_string(snapshot->get_error()));
                });
            });
    }
    std::shared_ptr<corvane::Client> previous;
    {
        std::lock_guard lock(m_mutex);
        previous = std::exchange(m_engine, next);
    }
    release_engine(std::move(previous));

    next->connect(m_address, m_timeout, m_server_file_load_timeout, std::move(info));

    const auto snapshot = next->connection_state().get_snapshot();
    switch (snapshot->get_status()) {
    case corvane::ClientStatus::disconnected:
        return Result::failed;
    case corvane::ClientStatus::error:
        if (const auto result = to_result(snapshot->get_error().code)) {
            return *result;
        }
        break;
    default:
        break;
    }
    m_duplex.store(next->config_details().duplex);
    return Result::success;
}

Result CorvaneImpl::disconnect() {
    TraceScope scope(trace_context(), "disconnect");
    const auto client = engine();
    if (!client || client->connection_state().get_status() == corvane::ClientStatus::disconnected) {
        return Result::no_connection;
    }
    if (on_notifier_of(client)) {
        client->request_stop();
        return Result::success;
    }
    client->disconnect();
    return Result::success;
}

Result CorvaneImpl::finish(std::uint64_t timeout) {
    TraceScope scope(trace_context(), "finish");
    const auto client = engine();
    const ConnectionStatus status = get_status();
    if (!client || status == ConnectionStatus::disconnected) {
        return Result::no_connection;
    }
    if (status == ConnectionStatus::error) {
        return Result::failed;
    }
    if (on_notifier_of(client)) {
        // No waiting here: the worker may be waiting for this very thread.
        const bool done = client->all_reads_done();
        client->set_no_more_data();
        client->request_stop();
        return done ? Result::success : Result::not_ready;
    }
    if (client->finish_by(timeout)) {
        return Result::success;
    }
    return get_status() == ConnectionStatus::disconnected ? Result::not_ready : Result::failed;
}

void CorvaneImpl::no_more_data() {
    TraceScope scope(trace_context(), "no_more_data");
    if (const auto client = engine()) {
        client->set_no_more_data();
    }
}

std::uint32_t CorvaneImpl::effective_timeout(std::uint32_t timeout) const {
    return timeout == 0 ? m_pass_read_timeout.load() : timeout;
}

bool CorvaneImpl::prepare_read(common::ReadHolder& holder, bool duplex) const {
    std::string message;
    if (!common::validate_read_holder(holder, message, duplex)) {
        if (m_log_invalid_reads) {
            QOR_LOG_WARNING(message);
        }
        return false;
    }
    holder.metadata->strand_id = holder.metadata->read_id;
    holder.metadata->duration = holder.datasets.at(dw::v2::raw_data).count();
    holder.priority = m_priority.load();
    return true;
}

PassReadResult CorvaneImpl::pass_read(Read& read, std::uint32_t timeout) {
    TraceScope scope(hf_trace_context(), "pass_read");
    PassReadResult result = PassReadResult::not_accepting_reads;
    if (const auto client = engine()) {
        if (!prepare_read(read.get_readholder(), m_duplex.load())) {
            result = PassReadResult::bad_read;
        } else {
            result = to_pass_read_result(client->pass_read(read.get_readholder(), effective_timeout(timeout)));
        }
    }
    scope.trace([&] { return to_string(result); });
    return result;
}

PassReadResult CorvaneImpl::pass_reads(std::vector<Read>& reads, std::uint32_t timeout) {
    TraceScope scope(hf_trace_context(), "pass_reads");
    std::vector<common::ReadHolder> holders;
    holders.reserve(reads.size());
    for (Read& read : reads) {
        holders.push_back(std::move(read.get_readholder()));
    }
    reads.clear();
    PassReadResult result = PassReadResult::not_accepting_reads;
    if (const auto client = engine()) {
        result = PassReadResult::success;
        const bool duplex = m_duplex.load();
        for (common::ReadHolder& holder : holders) {
            if (!prepare_read(holder, duplex)) {
                result = PassReadResult::bad_read;
                break;
            }
        }
        if (result == PassReadResult::success) {
            result = to_pass_read_result(client->pass_reads(holders, effective_timeout(timeout)));
        }
    }
    for (common::ReadHolder& holder : holders) {
        reads.push_back(Read(std::move(holder)));
    }
    scope.trace([&] { return to_string(result); });
    return result;
}

void CorvaneImpl::get_completed_reads(std::vector<std::vector<Read>>& reads) {
    const auto client = engine();
    if (!client) {
        return;
    }
    std::vector<common::ReadHolder> finished;
    client->get_completed_reads(finished);
    if (finished.empty()) {
        return;
    }
    // The reads of one tag make a group; groups come in the order their
    // first read finished. Sorted positions rather than a map by tag, so
    // that a read costs no allocation beyond its group's.
    std::vector<std::pair<std::uint64_t, std::size_t>> by_tag;  // (tag, position)
    by_tag.reserve(finished.size());
    for (std::size_t i = 0; i < finished.size(); ++i) {
        by_tag.emplace_back(finished[i].read_tag, i);
    }
    std::sort(by_tag.begin(), by_tag.end());
    std::vector<std::pair<std::size_t, std::size_t>> groups;  // (first position, start in by_tag)
    for (std::size_t i = 0; i < by_tag.size(); ++i) {
        if (i == 0 || by_tag[i].first != by_tag[i - 1].first) {
            groups.emplace_back(by_tag[i].second, i);
        }
    }
    std::sort(groups.begin(), groups.end());
    reads.reserve(reads.size() + groups.size());
    for (const auto& [first, start] : groups) {
        std::size_t end = start + 1;
        while (end < by_tag.size() && by_tag[end].first == by_tag[start].first) {
            ++end;
        }
        std::vector<Read> group;
        group.reserve(end - start);
        for (std::size_t i = start; i < end; ++i) {
            group.push_back(Read(std::move(finished[by_tag[i].second])));
        }
        reads.push_back(std::move(group));
    }
}

bool CorvaneImpl::validate_read(const Read& read, std::string& message) const {
    return common::validate_read_holder(read.get_readholder(), message, m_duplex.load());
}

std::string CorvaneImpl::get_error_message() {
    const auto client = engine();
    if (!client) {
        return {};
    }
    const auto snapshot = client->connection_state().get_snapshot();
    return snapshot->get_status() == corvane::ClientStatus::error ? corvane::to_string(snapshot->get_error())
                                                                  : std::string();
}

std::string CorvaneImpl::get_internal_state() {
    TraceScope scope(trace_context(), "get_internal_state");
    common::diagnostics::state::StateTable table;
    common::diagnostics::state::StateLogger logger(table);
    log_state(logger);
    return common::diagnostics::state::JsonFormatter{}(table);
}

Result CorvaneImpl::get_basecalling_config(dw::v3::Metadata& config) {
    const auto client = engine();
    if (!client) {
        return Result::no_connection;
    }
    const corvane::ConfigDetails details = client->config_details();
    config.set("config_name", details.config_name);
    config.set("model_version_id", details.model_version_id);
    config.set("modbase_model_version_id", details.modbase_model_version_id);
    config.set("duplex", details.duplex);
    return Result::success;
}

Result CorvaneImpl::get_alignment_sam_header(std::string& header) {
    const auto client = engine();
    if (!client) {
        return Result::no_connection;
    }
    header = client->alignment_file_header();
    return Result::success;
}

Result CorvaneImpl::get_connected_server_info(ConnectedServerInfo& info) {
    const auto client = engine();
    if (!client) {
        return Result::no_connection;
    }
    const ipc_tools::ConnectedInfo details = client->server_details();
    info.connection_id = details.client_uid;
    info.server_version = details.server_version;
    info.minimap_version = details.minimap_version;
    info.gpu_devices = details.device_names;
    return Result::success;
}

std::uint64_t CorvaneImpl::num_buffered_samples() const {
    const auto client = engine();
    return client ? client->num_buffered_samples() : 0;
}

std::uint64_t CorvaneImpl::num_completed_reads() const {
    const auto client = engine();
    return client ? client->num_completed_reads() : 0;
}

void CorvaneImpl::log_state(common::diagnostics::state::StateLogger& logger) const {
    logger.add("status", to_string(get_status()));
    logger.add("priority", m_priority.load());
    logger.add("m_connection_timeout_ms", m_connection_timeout_ms);
    logger.add("m_address", m_address);
    logger.add("m_model_set", m_model_set);
    logger.add("m_barcode_kits", m_barcode_kits);
    logger.add("m_align_index_file", m_align_index_file);
    logger.add("m_bed_file", m_bed_file);
    logger.add("m_minimap2_opt_string", m_minimap2_opt_string);
    logger.add("m_timeout", m_timeout);
    logger.add("m_server_file_load_timeout", m_server_file_load_timeout);
    logger.add("m_block_size", m_block_size);
    logger.add("m_max_reads_queued", m_max_reads_queued);
    logger.add("m_enable_moves", m_enable_moves);
    logger.add("m_pair_by_channel", m_pair_by_channel);
    if (const auto client = engine()) {
        auto section = logger.child_section("Client");
        client->log_state(logger);
    } else {
        logger.add("client", "null");
    }
}

}  // namespace apps
