#include "corvane/client.h"

#include <exception>
#include <system_error>
#include <utility>

#include "common/runtime/active_object.h"
#include "common/runtime/contract.h"
#include "common/runtime/logger.h"
#include "corvane/read_buffer.h"
#include "corvane/read_processing_protocol.h"

namespace corvane {

namespace {

using common::diagnostics::tracing::TraceScope;

constexpr const char* worker_thread_name = "client_worker";
constexpr auto finish_poll_interval = std::chrono::milliseconds(100);
// connect waits for the latch in slices, so that its wait has a deadline
// like every other; the worker always releases it in the end.
constexpr auto latch_wait_slice = std::chrono::seconds(1);
// How long a collection waits for the ending worker to publish its error.
constexpr auto hand_back_wait = std::chrono::seconds(2);

std::int64_t epoch_ms(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

Client::Client(std::uint64_t block_size, std::uint64_t max_input_queue_size, std::uint64_t max_read_failures,
               bool enable_moves, ThreadStartCallback thread_start_callback)
    : m_connection_protocol(std::make_shared<ConnectionProtocol>(m_client_connection_state)),
      m_read_buffer(std::make_shared<ReadBuffer>()),
      m_read_processing_protocol(std::make_shared<ReadProcessingProtocol>()),
      m_thread_start_callback(thread_start_callback),
      m_max_input_queue_size(max_input_queue_size),
      m_block_size(block_size),
      m_max_read_failures(max_read_failures) {
    TraceScope scope(trace_context(), "Client");
    m_read_processing_protocol->set_enable_moves(enable_moves);
}

Client::~Client() {
    TraceScope scope(trace_context(), "~Client");
    join_worker_thread();
}

void Client::connect(const std::string& address, unsigned int query_timeout, unsigned int file_load_timeout,
                     ipc_tools::ConnectionInfo info) {
    TraceScope scope(trace_context(), "connect");
    m_connection_info = std::move(info);
    m_file_load_timeout = file_load_timeout;
    m_connection_protocol->set_connection_params(address, query_timeout);
    {
        TraceScope start(trace_context(), "start_worker_thread");
        // The run's buffer is in place before reads are accepted, so a read
        // passed by another thread while the worker starts cannot land in a
        // buffer that is about to be replaced.
        auto buffer = std::make_shared<ReadBuffer>();
        buffer->set_block_size(m_block_size);
        buffer->set_max_input_queue_size(m_max_input_queue_size);
        buffer->set_max_read_failures(m_max_read_failures);
        {
            std::lock_guard lock(m_mutex);
            m_read_buffer = std::move(buffer);
        }
        std::lock_guard lock(m_worker_mutex);
        QOR_EXPECTS(!m_worker.joinable(), "Client::connect starts the worker only once");
        m_accept_data.exchange(true);
        // Connecting from now on, so that a disconnect or finish from another
        // thread sees a connection to end before the worker's first step.
        m_client_connection_state.set_status(ClientStatus::preparing_connection);
        m_worker = std::thread([this] { worker_loop(); });
    }
    std::unique_lock lock(m_latch_mutex);
    while (!m_latch_released.wait_until(lock, std::chrono::steady_clock::now() + latch_wait_slice,
                                        [&] { return m_latch_count == 0; })) {
    }
}

std::shared_ptr<ReadBuffer> Client::read_buffer() const {
    std::lock_guard lock(m_mutex);
    return m_read_buffer;
}

void Client::count_down_connected_latch() {
    {
        std::lock_guard lock(m_latch_mutex);
        if (m_latch_count == 0) {
            return;
        }
        m_latch_count = 0;
    }
    m_latch_released.notify_all();
}

std::chrono::system_clock::time_point Client::calculate_reconnect_timeout_time(std::uint64_t seconds) const {
    const auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(seconds);
    trace_context().trace("calculate_reconnect_timeout_time",
                          [&] { return "retry until (ms): " + std::to_string(epoch_ms(deadline)); });
    return deadline;
}

void Client::worker_loop() {
    common::set_current_thread_name(worker_thread_name);
    TraceScope scope(trace_context(), "worker_loop");
    ConnectionErrorInfo error;
    bool was_connected = false;
    const auto buffer = read_buffer();
    try {
        if (m_thread_start_callback) {
            m_thread_start_callback();
        }
        auto deadline = calculate_reconnect_timeout_time(m_reconnect_timeout.load());
        while (!m_connection_protocol->stop_requested()) {
            was_connected = false;
            auto* adapter = m_connection_protocol->establish_server_connection(m_connection_info, m_file_load_timeout);
            if (adapter) {
                was_connected = true;
                ipc_tools::ConnectedInfo details = m_connection_protocol->server_details();
                {
                    std::lock_guard lock(m_mutex);
                    m_server_details = details;
                    m_config_details = m_connection_protocol->config_details();
                    m_alignment_file_header = m_connection_protocol->alignment_file_header();
                }
                buffer->set_connection_id(details.client_uid);
                m_read_processing_protocol->set_connection_id(details.client_uid);
                scope.trace("connected");
                scope.trace([&] { return "server version: " + details.server_version; });
                scope.trace([&] { return "server minimap version: " + details.minimap_version; });
                count_down_connected_latch();
                error = m_read_processing_protocol->process_reads(buffer.get(), adapter);
                scope.trace([&] { return to_string(error); });
                deadline = calculate_reconnect_timeout_time(m_reconnect_timeout.load());
            } else {
                error = m_connection_protocol->last_error();
            }
            if (m_connection_protocol->stop_requested()) {
                // Asked to stop: an attempt cut short or a retry not made is
                // not a failure of the connection.
                if (!adapter || error.code == ConnectionError::timed_out) {
                    error = ConnectionErrorInfo{};
                }
                break;
            }
            if (error.code != ConnectionError::timed_out || std::chrono::system_clock::now() >= deadline) {
                break;
            }
        }
    } catch (const std::exception& failure) {
        error = {ConnectionError::failed, std::string("Unhandled error in client worker: ") + failure.what()};
    }
    end_worker(*buffer, error, was_connected);
    scope.trace([&] { return to_string(m_client_connection_state.get_error()); });
    count_down_connected_latch();
}

void Client::end_worker(ReadBuffer& buffer, const ConnectionErrorInfo& error, bool was_connected) {
    m_accept_data.exchange(false);
    buffer.set_no_more_data();
    // Every read still inside leaves, without results: the application
    // moved them in and has no other way to get them back. Before the
    // status says the worker has ended, so that an application that sees
    // it finds every read among the completed ones; and an application
    // that gets them meanwhile waits for the error that ended the worker,
    // so that it sees why they came back uncalled.
    m_handing_back.store(true);
    const std::uint64_t handed_back = buffer.hand_back_unfinished_reads();
    m_reads_handed_back.store(handed_back);
    const ClientStatus status = m_client_connection_state.get_status();
    // A worker that failed before its first attempt has no status to leave.
    if (error.code != ConnectionError::no_error && status != ClientStatus::disconnected) {
        m_client_connection_state.set_error(error);
    }
    {
        std::lock_guard lock(m_hand_back_mutex);
        m_handing_back.store(false);
    }
    m_hand_back_done.notify_all();
    if (handed_back != 0) {
        QOR_LOG_WARNING(handed_back << " read(s) still in flight when the client stopped were handed back without "
                                       "results.");
    }
    if (error.code != ConnectionError::no_error) {
        QOR_LOG_ERROR("Connection error. " << to_string(error));
    }
    if (was_connected && m_client_connection_state.get_error().code != ConnectionError::timed_out) {
        m_connection_protocol->disconnect_from_server();
    }
    const ClientStatus now = m_client_connection_state.get_status();
    if (now != ClientStatus::error && now != ClientStatus::disconnected) {
        m_client_connection_state.set_status(ClientStatus::disconnected);
    }
}

void Client::set_reconnect_timeout(std::uint64_t seconds) {
    trace_context().trace("set_reconnect_timeout", std::to_string(seconds));
    m_reconnect_timeout.store(seconds);
}

void Client::request_stop() {
    m_accept_data.exchange(false);
    read_buffer()->set_no_more_data();
    m_read_processing_protocol->stop();
    m_connection_protocol->request_stop();
}

void Client::join_worker_thread() {
    TraceScope scope(trace_context(), "join_worker_thread");
    request_stop();
    // Held while joining so that a second caller returns only once the
    // worker has ended; the worker never takes this lock.
    std::lock_guard lock(m_worker_mutex);
    if (!m_worker.joinable()) {
        return;
    }
    if (m_worker.get_id() == std::this_thread::get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    m_worker.join();
    m_worker = std::thread();
}

void Client::disconnect() {
    TraceScope scope(trace_context(), "disconnect");
    join_worker_thread();
    m_client_connection_state.set_status_if(ClientStatus::error, ClientStatus::disconnected);
}

bool Client::finish_by(std::uint64_t timeout) {
    TraceScope scope(trace_context(), "finish_by");
    {
        TraceScope step(trace_context(), "set_no_more_data");
        read_buffer()->set_no_more_data();
        m_read_processing_protocol->set_no_more_data();
    }
    m_accept_data.exchange(false);
    const auto buffer = read_buffer();
    std::uint64_t steps = 0;
    while (!buffer->all_reads_done()) {
        const ClientStatus status = m_client_connection_state.get_status();
        if (status == ClientStatus::disconnected || status == ClientStatus::error) {
            break;
        }
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + finish_poll_interval);
        ++steps;
        if (timeout != 0 && static_cast<float>(steps) > static_cast<float>(timeout) * 10.0f) {
            break;
        }
    }
    join_worker_thread();
    // Reads the stopping worker handed back came back without results.
    return buffer->all_reads_done() && m_reads_handed_back.load() == 0;
}

void Client::set_no_more_data() {
    TraceScope scope(trace_context(), "set_no_more_data");
    // The buffer refuses further reads at once, and before the exchange
    // learns of it: a read it took still goes out before NO_MORE_DATA.
    read_buffer()->set_no_more_data();
    m_read_processing_protocol->set_no_more_data();
}

ClientQueueReadsResult Client::pass_read(common::ReadHolder& read, std::uint64_t timeout) {
    TraceScope scope(hf_trace_context(), "pass_read");
    if (!m_accept_data.load() || m_client_connection_state.get_status() == ClientStatus::error) {
        return ClientQueueReadsResult::not_accepting;
    }
    return to_client_result(read_buffer()->queue_read(read, timeout));
}

ClientQueueReadsResult Client::pass_reads(std::vector<common::ReadHolder>& reads, std::uint64_t timeout) {
    TraceScope scope(hf_trace_context(), "pass_reads");
    if (!m_accept_data.load() || m_client_connection_state.get_status() == ClientStatus::error) {
        return ClientQueueReadsResult::not_accepting;
    }
    return to_client_result(read_buffer()->queue_reads(reads, timeout));
}

void Client::get_completed_reads(std::vector<common::ReadHolder>& reads) {
    const std::size_t before = reads.size();
    read_buffer()->get_reads_out(reads);
    if (reads.size() != before && m_handing_back.load()) {
        // Some may be reads the ending worker handed back: they leave with
        // the error that ended it, not before. The wait is bounded, should
        // the state's listener be slow to take the change.
        std::unique_lock lock(m_hand_back_mutex);
        m_hand_back_done.wait_for(lock, hand_back_wait, [this] { return !m_handing_back.load(); });
    }
}

std::uint64_t Client::num_buffered_samples() const { return read_buffer()->num_queued_samples(); }

std::uint64_t Client::num_completed_reads() const { return read_buffer()->num_reads_out(); }

bool Client::all_reads_done() const { return read_buffer()->all_reads_done(); }

ConfigDetails Client::config_details() const {
    std::lock_guard lock(m_mutex);
    return m_config_details;
}

std::string Client::alignment_file_header() const {
    std::lock_guard lock(m_mutex);
    return m_alignment_file_header;
}

ipc_tools::ConnectedInfo Client::server_details() const {
    std::lock_guard lock(m_mutex);
    return m_server_details;
}

void Client::log_state(common::diagnostics::state::StateLogger& logger) const {
    logger.add("m_client_connection_state", to_string(m_client_connection_state.get_status()));
    logger.add("m_accept_data", m_accept_data.load());
    logger.add("m_max_read_failures", m_max_read_failures);
    const auto buffer = read_buffer();
    auto section = logger.child_section("ReadBuffer");
    buffer->log_state(logger);
}

}  // namespace corvane
