#include "corvane/connection_protocol.h"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <utility>

#include "common/runtime/logger.h"
#include "corvane/client_connection_state.h"
#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"

namespace corvane {

namespace {

using common::diagnostics::tracing::TraceScope;
using ipc_tools::Message;
using ipc_tools::MessageType;

// Until the first attempt copies the client's description in.
constexpr std::int32_t initial_priority = 2;
constexpr auto load_poll_interval = std::chrono::milliseconds(500);
// The DISCONNECT of a client asked to stop: a server that answers at all
// answers it at once, and a stop is prompt whatever the server does.
constexpr auto stopping_disconnect_wait = std::chrono::milliseconds(150);

std::string string_of(const flatbuffers::String* text) { return text ? text->str() : std::string(); }

// The text of a Reply body; empty when the reply carries none. Replies come
// verified from the broker, so reading them cannot fail.
std::string reply_text(const Message& reply) {
    const auto* body = reply.get_message_data().data_as_Reply();
    return body ? string_of(body->text()) : std::string();
}

std::string quoted_refusal(const char* prefix, const std::string& value) {
    return std::string(prefix) + "\"" + value + "\").";
}

// The connection description's rule for paths: absolute ones pass, relative
// ones are resolved against this process's working directory (the server
// has its own). Nothing, with `error` set, when a relative path names no file.
std::optional<std::string> absolute_path(const std::string& path, std::string& error) {
    ipc_tools::ConnectionInfo probe;
    probe.align_ref = path;
    try {
        ipc_tools::to_connect_text(probe);
    } catch (const std::invalid_argument&) {
        // The path holds '>': it is absolute by now, and the check of the
        // whole description that follows refuses it.
    } catch (const std::runtime_error& failure) {
        error = failure.what();
        return std::nullopt;
    }
    return probe.align_ref;
}

}  // namespace

ConnectionProtocol::ConnectionProtocol(ClientConnectionState& state) : m_connection_state(state) {
    TraceScope scope(trace_context(), "ConnectionProtocol");
    m_connection_info.priority = initial_priority;
}

ConnectionProtocol::~ConnectionProtocol() = default;

void ConnectionProtocol::set_connection_params(const std::string& address, unsigned int timeout) {
    TraceScope scope(trace_context(), "set_connection_params");
    m_address = address;
    m_timeout = timeout;
    scope.trace([&] { return "port: " + m_address; });
    scope.trace([&] { return "timeout: " + std::to_string(m_timeout); });
}

RequestBrokerAdapter* ConnectionProtocol::establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                                      unsigned int file_load_timeout) {
    TraceScope scope(trace_context(), "establish_server_connection", true);
    m_connection_info = info;
    m_file_load_timeout = file_load_timeout;
    m_last_error = ConnectionErrorInfo{};

    QOR_LOG_INFO("Connecting to server as '" << m_connection_info.client_name << "'");

    {
        TraceScope step(trace_context(), "prepare_connection");
        // The client enters it as its worker starts; the first attempt does
        // not tell the listener twice. Every later one does.
        if (std::exchange(m_attempted, true) ||
            m_connection_state.get_status() != ClientStatus::preparing_connection) {
            m_connection_state.set_status(ClientStatus::preparing_connection);
        }
        // Bad local paths fail here, before the server is troubled, and every
        // later text (LOAD_INDEX, LOAD_BED, the header lookup, refusals)
        // names the same absolute path.
        if (!make_paths_absolute()) {
            return nullptr;
        }
        // A value that would be read as more than one item never leaves.
        if (auto refusal = ipc_tools::connection_text_refusal(m_connection_info)) {
            m_last_error = {ConnectionError::failed, std::move(*refusal)};
            step.trace([&] { return to_string(m_last_error); });
            return nullptr;
        }
        if (!m_adapter.prepare_connection(m_address, m_timeout)) {
            m_last_error = m_adapter.last_error();
            step.trace([&] { return to_string(m_last_error); });
            return nullptr;
        }
    }
    {
        TraceScope step(trace_context(), "load_config");
        m_connection_state.set_status(ClientStatus::loading_config);
        if (!load_file_on_server(MessageType::LOAD_CONFIG, m_connection_info.config) ||
            !retrieve_config_details(m_connection_info.config)) {
            return nullptr;
        }
    }
    if (!load_alignment_index()) {
        return nullptr;
    }
    {
        TraceScope step(trace_context(), "load_bed_file");
        m_connection_state.set_status(ClientStatus::loading_bed_file);
        if (!m_connection_info.bed_file.empty() &&
            !load_file_on_server(MessageType::LOAD_BED, m_connection_info.bed_file)) {
            return nullptr;
        }
    }
    if (!connect()) {
        return nullptr;
    }
    m_connection_state.set_status(ClientStatus::connected);
    QOR_LOG_INFO("Connected to server as '" << m_connection_info.client_name
                                            << "'. Connection id: " << m_server_details.client_uid);
    return &m_adapter;
}

bool ConnectionProtocol::make_paths_absolute() {
    std::string error;
    if (auto path = absolute_path(m_connection_info.align_ref, error)) {
        m_connection_info.align_ref = std::move(*path);
    } else {
        m_last_error = {ConnectionError::align_index_unavailable, error};
        return false;
    }
    if (auto path = absolute_path(m_connection_info.bed_file, error)) {
        m_connection_info.bed_file = std::move(*path);
    } else {
        m_last_error = {ConnectionError::bed_file_unavailable, error};
        return false;
    }
    return true;
}

bool ConnectionProtocol::exchange(Message& request, Message& reply) {
    if (!m_adapter.send_request(request, reply)) {
        m_last_error = m_adapter.last_error();
        return false;
    }
    return true;
}

bool ConnectionProtocol::load_file_on_server(MessageType request_type, const std::string& file) {
    TraceScope scope(trace_context(), "load_file_on_server", true);
    scope.trace(file);
    const auto start = std::chrono::steady_clock::now();
    // 64 bits: a timeout of many days in seconds must not wrap in milliseconds.
    const auto limit = std::chrono::milliseconds(static_cast<std::int64_t>(m_file_load_timeout) * 1000);

    if (try_load_on_server(request_type, file)) {
        return true;
    }
    // no_error after a false means the server answered LOADING.
    while (m_last_error.code == ConnectionError::no_error) {
        if (std::chrono::steady_clock::now() - start > limit) {
            scope.trace("timeout");
            m_last_error = {ConnectionError::file_load_timeout,
                            "Server did not process load request '" + std::string(ipc_tools::to_string(request_type)) +
                                "' for file " + file + "within the " + std::to_string(m_file_load_timeout) +
                                "s timeout. Try increasing server_file_load_timeout"};
            return false;
        }
        if (!wait_or_stop(std::chrono::steady_clock::now() + load_poll_interval)) {
            scope.trace("stopped");
            m_last_error = {ConnectionError::failed, "Connection attempt stopped while the server was loading " + file};
            return false;
        }
        if (try_load_on_server(request_type, file)) {
            return true;
        }
    }
    return false;
}

bool ConnectionProtocol::try_load_on_server(MessageType request_type, const std::string& file) {
    TraceScope scope(trace_context(), "try_load_on_server");
    Message request(request_type, "", 0, file);
    Message reply;
    if (!exchange(request, reply)) {
        scope.trace([&] { return to_string(m_last_error); });
        return false;
    }
    const MessageType reply_type = reply.get_type();
    scope.trace(ipc_tools::to_string(reply_type));

    switch (reply_type) {
    case MessageType::SUCCESS:
        return true;
    case MessageType::LOADING:
        return false;
    case MessageType::REQUEST_FAILED:
    case MessageType::INVALID_ALIGNER_OPTIONS: {
        ConnectionError code = ConnectionError::failed;
        if (request_type == MessageType::LOAD_CONFIG) {
            code = ConnectionError::basecall_config_unavailable;
        } else if (request_type == MessageType::LOAD_INDEX) {
            code = reply_type == MessageType::INVALID_ALIGNER_OPTIONS ? ConnectionError::invalid_aligner_options
                                                                      : ConnectionError::align_index_unavailable;
        } else if (request_type == MessageType::LOAD_BED) {
            code = ConnectionError::bed_file_unavailable;
        }
        m_last_error = {code, reply_text(reply)};
        break;
    }
    default:
        m_last_error = {ConnectionError::invalid_response,
                        "Error. Load request '" + std::string(ipc_tools::to_string(request_type)) +
                            "' received an invalid reply type: " + ipc_tools::to_string(reply_type)};
        break;
    }
    scope.trace([&] { return to_string(m_last_error); });
    return false;
}

bool ConnectionProtocol::retrieve_config_details(const std::string& config_name) {
    TraceScope scope(trace_context(), "retrieve_config_details");
    scope.trace(config_name);
    Message request(MessageType::GET_CONFIGS, "", 0, config_name);
    Message reply;
    if (!exchange(request, reply)) {
        return false;
    }
    if (reply.get_type() != MessageType::RETURN_CONFIGS) {
        m_last_error = {ConnectionError::invalid_response,
                        std::string("Could not get details from server (invalid reply type). ") +
                            ipc_tools::to_string(reply.get_type())};
        return false;
    }
    const auto* list = reply.get_message_data().data_as_ConfigList();
    const auto* configs = list ? list->configs() : nullptr;
    const std::size_t count = configs ? configs->size() : 0;
    if (count != 1) {
        m_last_error = {ConnectionError::basecall_config_unavailable,
                        "got unexpected number of configs from server for config name: " + config_name + " :" +
                            std::to_string(count)};
        return false;
    }
    const auto* entry = configs->Get(0);
    m_config_details.config_name = config_name;
    m_config_details.model_version_id = string_of(entry->model_version_id());
    m_config_details.modbase_model_version_id = string_of(entry->modbase_model_version_id());
    m_config_details.duplex = entry->duplex();
    return true;
}

bool ConnectionProtocol::load_alignment_index() {
    TraceScope scope(trace_context(), "load_alignment_index");
    m_connection_state.set_status(ClientStatus::loading_alignment_index);
    m_alignment_file_header.clear();
    if (m_connection_info.align_ref.empty()) {
        return true;
    }
    const std::string load_text = ipc_tools::to_load_index_text(m_connection_info);
    // The paths are absolute by now, so building the description cannot fail.
    scope.trace([&] { return "config string: " + ipc_tools::to_connect_text(m_connection_info); });
    return load_file_on_server(MessageType::LOAD_INDEX, load_text) &&
           retrieve_alignment_file_header(m_connection_info.align_ref);
}

bool ConnectionProtocol::retrieve_alignment_file_header(const std::string& index_path) {
    TraceScope scope(trace_context(), "retrieve_alignment_file_header");
    Message request(MessageType::GET_INDICES, "", 0, "");
    Message reply;
    if (!exchange(request, reply)) {
        return false;
    }
    if (reply.get_type() != MessageType::RETURN_CONFIGS) {
        m_last_error = {ConnectionError::invalid_response,
                        std::string("Could not get alignment indices from server (invalid reply type). ") +
                            ipc_tools::to_string(reply.get_type())};
        return false;
    }
    const auto* list = reply.get_message_data().data_as_ConfigList();
    if (const auto* headers = list ? list->index_headers() : nullptr) {
        for (const auto* index : *headers) {
            if (index->name() && index->name()->string_view() == index_path) {
                m_alignment_file_header = string_of(index->header());
                return true;
            }
        }
    }
    m_last_error = {ConnectionError::align_index_unavailable,
                    "Could not retrieve alignment file header for: " + index_path};
    return false;
}

bool ConnectionProtocol::connect() {
    TraceScope scope(trace_context(), "connect", true);
    m_connection_state.set_status(ClientStatus::connecting);
    const std::string description = ipc_tools::to_connect_text(m_connection_info);
    scope.trace([&] { return "config string: " + description; });

    Message request(MessageType::CONNECT, "", ipc_tools::connect_priority_code(m_connection_info.priority),
                    description);
    Message reply;
    if (!exchange(request, reply)) {
        return false;
    }

    const auto& info = m_connection_info;
    switch (reply.get_type()) {
    case MessageType::CONNECTED:
        break;
    case MessageType::INVALID_CONFIG:
        m_last_error = {ConnectionError::basecall_config_unavailable,
                        quoted_refusal("Could not register on server (connection refused, the requested basecall "
                                       "model set is not currently loaded ",
                                       info.config)};
        return false;
    case MessageType::INVALID_BARCODE_KIT:
        m_last_error = {ConnectionError::barcode_kit_unavailable,
                        quoted_refusal("Could not register on server (connection refused due to unsupported "
                                       "barcoding kit ",
                                       info.barcode_kits)};
        return false;
    case MessageType::INVALID_INDEX:
        m_last_error = {ConnectionError::align_index_unavailable,
                        quoted_refusal("Could not register on server (connection refused due to unsupported "
                                       "alignment index|options combination ",
                                       info.align_ref + "|" + info.minimap_opt_string)};
        return false;
    case MessageType::INVALID_BED:
        m_last_error = {ConnectionError::bed_file_unavailable,
                        quoted_refusal("Could not register on server (connection refused, the requested bed file "
                                       "is not currently loaded ",
                                       info.bed_file)};
        return false;
    default:
        m_last_error = {ConnectionError::invalid_response, "Could not register on server (invalid response)."};
        return false;
    }

    const std::string connected_text = reply_text(reply);
    scope.trace(connected_text);
    auto details = ipc_tools::ConnectedInfo::parse(connected_text);
    // Without an id the client could name itself in no later request.
    if (!details || details->client_uid.empty()) {
        m_last_error = {ConnectionError::bad_reply, "Could not parse CONNECTED message data"};
        return false;
    }
    std::string state_text;
    if (!try_get_server_internal_state(state_text)) {
        return false;
    }
    ipc_tools::set_device_names(*details, state_text);
    m_server_details = std::move(*details);
    scope.trace([&] { return "Connected. id: " + m_server_details.client_uid; });
    scope.trace([&] { return "server version: " + m_server_details.server_version; });
    scope.trace([&] { return "server minimap version: " + m_server_details.minimap_version; });
    return true;
}

bool ConnectionProtocol::try_get_server_internal_state(std::string& state_text) {
    TraceScope scope(trace_context(), "try_get_server_internal_state");
    Message request(ipc_tools::QueryCode::internal_state);
    Message reply;
    if (!exchange(request, reply)) {
        scope.trace([&] { return to_string(m_last_error); });
        return false;
    }
    if (reply.get_type() != MessageType::RESPONSE) {
        m_last_error = {ConnectionError::invalid_response,
                        std::string("Could not retrieve state from server, invalid reply: ") +
                            ipc_tools::to_string(reply.get_type())};
        scope.trace([&] { return m_last_error.message; });
        return false;
    }
    state_text = reply_text(reply);
    return true;
}

void ConnectionProtocol::request_stop() {
    {
        std::lock_guard lock(m_stop_mutex);
        m_stop = true;
    }
    m_stop_requested.notify_all();
    m_adapter.interrupt();
}

bool ConnectionProtocol::stop_requested() const {
    std::lock_guard lock(m_stop_mutex);
    return m_stop;
}

bool ConnectionProtocol::wait_or_stop(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(m_stop_mutex);
    return !m_stop_requested.wait_until(lock, until, [&] { return m_stop; });
}

void ConnectionProtocol::disconnect_from_server() const {
    TraceScope scope(trace_context(), "disconnect_from_server");
    const std::string& client_uid = m_server_details.client_uid;
    if (client_uid.empty()) {
        // Never registered, so there is nothing to undo, and there may not
        // even be a socket yet: sending would end the process.
        scope.trace("not connected");
        return;
    }
    if (m_adapter.awaiting_reply()) {
        // The last exchange got no reply (it timed out or was stopped): the
        // socket cannot send, and a server that did not answer that is not
        // told either.
        scope.trace("last request unanswered: not sending DISCONNECT");
        return;
    }
    scope.trace([&] { return "sending DISCONNECT with ID: " + client_uid; });

    Message request(MessageType::DISCONNECT, client_uid, 0, "");
    Message reply;
    // A client asked to stop still says goodbye, but waits only briefly.
    const bool sent = stop_requested() ? m_adapter.send_request_within(request, reply, stopping_disconnect_wait)
                                       : m_adapter.send_request(request, reply);
    if (!sent) {
        const std::string error = to_string(m_adapter.last_error());
        scope.trace(error);
        QOR_LOG_WARNING("Error disconnecting from server: " << error);
        return;
    }
    const MessageType reply_type = reply.get_type();
    scope.trace([&] { return std::string("reply type: ") + ipc_tools::to_string(reply_type); });
    if (reply_type == MessageType::DISCONNECTED) {
        return;
    }
    if (reply_type == MessageType::CLIENT_NOT_RECOGNISED) {
        QOR_LOG_INFO("Could not disconnect from basecall server (client not recognised).");
    } else {
        QOR_LOG_INFO("Could not disconnect from basecall server, invalid reply: " << ipc_tools::to_string(reply_type));
    }
}

}  // namespace corvane
