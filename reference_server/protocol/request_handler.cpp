#include "reference_server/protocol/request_handler.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ipc_tools/connection_info.h"
#include "ipc_tools/key_value_text.h"
#include "ipc_tools/wire_format.h"

namespace reference_server {

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;
namespace wire = ipc_tools::wire;

// Requests that only make sense on a registered connection.
bool needs_connection(MessageType type) {
    switch (type) {
    case MessageType::DISCONNECT:
    case MessageType::GET_FIRST_CALLED_BLOCK:
    case MessageType::GET_NEXT_CALLED_BLOCK:
    case MessageType::NO_MORE_DATA:
    case MessageType::PASS_READ_BATCH:
    case MessageType::PASS_FIRST_RAW_BLOCK:
    case MessageType::PASS_NEXT_RAW_BLOCK:
        return true;
    default:
        return false;
    }
}

bool is_request_kind(MessageType type) { return ipc_tools::request_type_of(type).has_value(); }

std::string item_or_empty(const std::map<std::string, std::string>& items, const char* key) {
    const auto item = items.find(key);
    return item == items.end() ? std::string() : item->second;
}

Message simple_reply(MessageType type, const std::string& text = {}, std::int32_t value = 0) {
    return Message(type, "", value, text);
}

// SUCCESS for a file that is loaded, LOADING while it loads; nothing for a
// load the server refuses, whose reply depends on the request.
std::optional<Message> progress_reply(LoadOutcome outcome) {
    switch (outcome) {
    case LoadOutcome::loaded:
        return simple_reply(MessageType::SUCCESS);
    case LoadOutcome::loading:
        return simple_reply(MessageType::LOADING);
    case LoadOutcome::unknown:
    case LoadOutcome::invalid_options:
        break;
    }
    return std::nullopt;
}

constexpr const char* outside_data_root = "outside the server's data root";

bool starts_with_flag(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    return first != std::string::npos && text[first] == '-';
}

// The reply to a load of a file from disk; a failure's reason follows `failure_prefix`.
Message load_reply(const AlignmentLoadReply& load, const std::string& failure_prefix) {
    if (auto reply = progress_reply(load.outcome)) {
        return std::move(*reply);
    }
    if (load.outcome == LoadOutcome::invalid_options) {
        return simple_reply(MessageType::INVALID_ALIGNER_OPTIONS, load.text);
    }
    return simple_reply(MessageType::REQUEST_FAILED, failure_prefix + load.text);
}

Message config_list_reply(flatbuffers::FlatBufferBuilder& builder, flatbuffers::Offset<wire::ConfigList> list) {
    ipc_tools::finish_envelope(builder, "", wire::MessageData::ConfigList, list.Union());
    return Message(builder);
}

Message empty_config_list_reply() {
    flatbuffers::FlatBufferBuilder builder(256);
    return config_list_reply(builder, wire::CreateConfigList(builder));
}

Message statistics_reply(const StatisticsSnapshot& snapshot) {
    flatbuffers::FlatBufferBuilder builder(256);
    std::vector<flatbuffers::Offset<wire::ClientStats>> clients;
    for (const auto& [reads_in, reads_out] : snapshot.clients) {
        clients.push_back(wire::CreateClientStats(builder, reads_in, reads_out));
    }
    const auto stats = wire::CreateStatisticsDirect(builder,
                                                    snapshot.lifetime_reads_in,
                                                    snapshot.lifetime_reads_out,
                                                    snapshot.period_reads_in,
                                                    snapshot.period_reads_out,
                                                    &clients);
    ipc_tools::finish_envelope(builder, "", wire::MessageData::Statistics, stats.Union());
    return Message(builder);
}

Message read_block_reply(wire::BlockKind kind) {
    flatbuffers::FlatBufferBuilder builder(64);
    const auto block = wire::CreateReadBlock(builder, kind);
    ipc_tools::finish_envelope(builder, "", wire::MessageData::ReadBlock, block.Union());
    return Message(builder);
}

Message read_batch_reply(wire::BatchKind kind) {
    flatbuffers::FlatBufferBuilder builder(64);
    const auto batch = wire::CreateReadBatch(builder, kind);
    ipc_tools::finish_envelope(builder, "", wire::MessageData::ReadBatch, batch.Union());
    return Message(builder);
}

// The reply an injected "reply" fault asks for, whatever its kind: bodies
// that carry data are sent empty, UNSET as an envelope without a body.
// INVALID_PROTOCOL has no Message form; the caller sends a foreign frame.
Message forced_reply(MessageType type, const std::string& text, std::int32_t value) {
    if (const auto kind = ipc_tools::block_kind_of(type)) {
        return read_block_reply(*kind);
    }
    if (const auto kind = ipc_tools::batch_kind_of(type)) {
        return read_batch_reply(*kind);
    }
    switch (type) {
    case MessageType::RETURN_CONFIGS:
        return empty_config_list_reply();
    case MessageType::RETURN_STATISTICS:
        return statistics_reply({});
    case MessageType::UNSET: {
        flatbuffers::FlatBufferBuilder builder(64);
        ipc_tools::finish_envelope(builder, "", wire::MessageData::NONE, 0);
        return Message(builder);
    }
    default:
        return Message(type, "", value, text);
    }
}

std::string reply_text_of(const zmq::message_t& frame) {
    // Only our own well-formed replies reach here, but the log must never be
    // the thing that fails.
    try {
        Message copy(zmq::message_t(frame.data(), frame.size()));
        if (const auto* reply = copy.get_message_data().data_as_Reply(); reply && reply->text()) {
            return reply->text()->str();
        }
    } catch (const std::exception&) {
        return {};
    }
    return {};
}

}  // namespace

zmq::message_t make_short_frame() {
    const unsigned char bytes[] = {0x04, 0x00, 0x00, 0x00};
    return zmq::message_t(bytes, sizeof(bytes));
}

zmq::message_t make_foreign_identifier_frame() {
    flatbuffers::FlatBufferBuilder builder(64);
    const auto reply = wire::CreateReply(builder, wire::ReplyType::HEARTBEAT_ECHO);
    const wire::ProtocolVersion version(25, 0, 0);
    const auto envelope = wire::CreateEnvelope(builder, &version, 0, wire::MessageData::Reply, reply.Union());
    builder.Finish(envelope, "0025");
    return zmq::message_t(builder.GetBufferPointer(), builder.GetSize());
}

zmq::message_t make_corrupt_frame() {
    // The right identifier, but a root offset far past the end.
    const unsigned char bytes[] = {0xf0, 0xff, 0xff, 0x7f, '0', '0', '2', '6',
                                   0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    return zmq::message_t(bytes, sizeof(bytes));
}

zmq::message_t make_unknown_kind_frame() {
    // A reply type one past the last one the protocol defines.
    flatbuffers::FlatBufferBuilder builder(64);
    const auto reply = wire::CreateReply(builder, static_cast<wire::ReplyType>(19));
    ipc_tools::finish_envelope(builder, "", wire::MessageData::Reply, reply.Union());
    return zmq::message_t(builder.GetBufferPointer(), builder.GetSize());
}

namespace {

// The frame each frame fault answers with in place of the reply.
struct FrameFault {
    FaultAction action;
    zmq::message_t (*make)();
};

constexpr FrameFault frame_faults[] = {
    {FaultAction::short_frame, make_short_frame},
    {FaultAction::foreign_identifier, make_foreign_identifier_frame},
    {FaultAction::corrupt_buffer, make_corrupt_frame},
    {FaultAction::unknown_kind, make_unknown_kind_frame},
};

zmq::message_t frame_for(FaultAction action) {
    for (const FrameFault& fault : frame_faults) {
        if (fault.action == action) {
            return fault.make();
        }
    }
    throw std::logic_error(std::string("fault action ") + to_string(action) + " makes no frame");
}

}  // namespace

RequestHandler::RequestHandler(std::shared_ptr<ServerState> state,
                               std::shared_ptr<FaultPlan> faults,
                               CallRead call_read)
    : m_state(std::move(state)),
      m_faults(std::move(faults)),
      m_data_plane(m_state->settings(), std::move(call_read)),
      m_alignment(m_state->settings(), m_state) {
    const auto set = [this](MessageType type, Handler handler) {
        m_handlers[static_cast<std::size_t>(type)] = handler;
    };
    set(MessageType::HEARTBEAT_PING, &RequestHandler::on_heartbeat_ping);
    set(MessageType::LOAD_CONFIG, &RequestHandler::on_load_config);
    set(MessageType::LOAD_INDEX, &RequestHandler::on_load_index);
    set(MessageType::LOAD_BED, &RequestHandler::on_load_bed);
    set(MessageType::GET_CONFIGS, &RequestHandler::on_get_configs);
    set(MessageType::GET_INDICES, &RequestHandler::on_get_indices);
    set(MessageType::CONNECT, &RequestHandler::on_connect);
    set(MessageType::DISCONNECT, &RequestHandler::on_disconnect);
    set(MessageType::QUERY, &RequestHandler::on_query);
    set(MessageType::GET_STATISTICS, &RequestHandler::on_get_statistics);
    set(MessageType::GET_BARCODE_KITS, &RequestHandler::on_get_barcode_kits);
    set(MessageType::NO_MORE_DATA, &RequestHandler::on_no_more_data);
    set(MessageType::PASS_READ_BATCH, &RequestHandler::on_pass_reads);
    set(MessageType::PASS_FIRST_RAW_BLOCK, &RequestHandler::on_pass_reads);
    set(MessageType::PASS_NEXT_RAW_BLOCK, &RequestHandler::on_pass_reads);
    set(MessageType::GET_FIRST_CALLED_BLOCK, &RequestHandler::on_get_first_called_block);
    set(MessageType::GET_NEXT_CALLED_BLOCK, &RequestHandler::on_get_next_called_block);
}

void RequestHandler::tick(Clock::time_point now) {
    if (m_faults->take_restart_request()) {
        restart();
    }
    for (const std::string& client_id : m_data_plane.expire(now)) {
        // Expiry is where a server loses the reads of a client that went away.
        m_state->disconnect(client_id);
        m_stalled_until.erase(client_id);
    }
}

void RequestHandler::restart() {
    m_state->forget_clients();
    m_data_plane.clear();
    m_stalled_until.clear();
}

RequestHandler::Outcome RequestHandler::handle(zmq::message_t&& request_frame, Clock::time_point now) {
    tick(now);
    m_now = now;
    m_effects = Effects{};
    Outcome outcome;
    const ReceivedRequest request(std::move(request_frame));
    std::optional<Message> reply;
    if (!request.refusal().empty()) {
        reply = simple_reply(MessageType::BAD_REQUEST, request.refusal());
    } else {
        m_data_plane.touch(request.client_id(), now);
        reply = apply_fault(request, now, outcome);
        if (!reply && outcome.reply.size() == 0) {
            reply = dispatch(request);
        }
    }
    if (const auto stalled = m_stalled_until.find(request.client_id()); stalled != m_stalled_until.end()) {
        if (stalled->second > now) {
            outcome.delay = std::max(outcome.delay, std::chrono::ceil<std::chrono::milliseconds>(stalled->second - now));
        } else {
            m_stalled_until.erase(stalled);
        }
    }
    record(request, std::move(reply), outcome);
    if (m_faults->count_request_and_check_restart()) {
        restart();
    }
    return outcome;
}

std::optional<Message> RequestHandler::apply_fault(const ReceivedRequest& request,
                                                   Clock::time_point now,
                                                   Outcome& outcome) {
    FaultMatch match;
    match.request = request.type();
    match.client_id = request.client_id();
    if (!match.client_id.empty()) {
        match.client_name = m_state->client_name(match.client_id);
    }
    if (const wire::ReadBlock* block = request.envelope()->data_as_ReadBlock()) {
        match.block_index = block->block_index();
        match.read_tag = block->read_tag();
    } else if (const wire::ReadBatch* batch = request.envelope()->data_as_ReadBatch();
               batch && batch->blocks() && batch->blocks()->size() > 0) {
        match.read_tag = batch->blocks()->Get(0)->read_tag();
    }
    const auto fault = m_faults->take(match);
    if (!fault) {
        return std::nullopt;
    }
    outcome.record.fault = to_string(fault->action);
    const auto delay = std::chrono::milliseconds(fault->delay_ms);
    switch (fault->action) {
    case FaultAction::reply:
        if (fault->reply == MessageType::INVALID_PROTOCOL) {
            outcome.reply = make_foreign_identifier_frame();
            return std::nullopt;
        }
        return forced_reply(fault->reply, fault->text, fault->value);
    case FaultAction::delay:
        outcome.delay = delay;
        return std::nullopt;
    case FaultAction::stall:
        m_stalled_until[request.client_id()] = now + delay;
        return std::nullopt;
    case FaultAction::short_frame:
    case FaultAction::foreign_identifier:
    case FaultAction::corrupt_buffer:
    case FaultAction::unknown_kind:
        outcome.reply = frame_for(fault->action);
        return std::nullopt;
    case FaultAction::lose_reads:
        m_effects.lose_reads = true;
        return std::nullopt;
    case FaultAction::slow_calling:
        m_effects.extra_latency = delay;
        return std::nullopt;
    case FaultAction::restart:
        restart();
        return std::nullopt;
#define CORVANE_REPLY_FAULT(action)
#define CORVANE_RESULT_FAULT(action)                   \
    case FaultAction::action:                          \
        m_effects.malformation = Malformation::action; \
        return std::nullopt;
#include "reference_server/settings/fault_actions.def"
#undef CORVANE_REPLY_FAULT
#undef CORVANE_RESULT_FAULT
    }
    return std::nullopt;
}

Message RequestHandler::dispatch(const ReceivedRequest& request) {
    // A request must never go unanswered: the client would see a timeout
    // instead of the reason.
    try {
        if (needs_connection(request.type()) && !m_state->knows_client(request.client_id())) {
            return simple_reply(MessageType::CLIENT_NOT_RECOGNISED);
        }
        const auto handler = m_handlers[static_cast<std::size_t>(request.type())];
        if (!handler) {
            const std::string name = ipc_tools::to_string(request.type());
            return simple_reply(MessageType::BAD_REQUEST, is_request_kind(request.type())
                                                              ? "Request kind not supported by this server: " + name
                                                              : "Not a request: " + name);
        }
        return (this->*handler)(request);
    } catch (const std::exception& error) {
        return simple_reply(MessageType::BAD_REQUEST, std::string("Server failed to handle the request: ") + error.what());
    }
}

void RequestHandler::record(const ReceivedRequest& request, std::optional<Message> reply, Outcome& outcome) const {
    outcome.record.request = request.type();
    outcome.record.client_id = request.client_id();
    outcome.record.value = request.value();
    outcome.record.text = request.text();
    if (reply) {
        outcome.record.reply = reply->get_type();
        outcome.reply = frame_of(std::move(*reply));
        if (m_record_reply_text) {
            outcome.record.reply_text = reply_text_of(outcome.reply);
        }
    }
}

Message RequestHandler::on_heartbeat_ping(const ReceivedRequest& request) {
    // "0" (or nothing) is the ping of a client that has no connection yet;
    // any other id must still be known, which is how clients notice a restart.
    const bool unregistered = request.client_id().empty() || request.client_id() == "0";
    if (!unregistered && !m_state->knows_client(request.client_id())) {
        return simple_reply(MessageType::CLIENT_NOT_RECOGNISED);
    }
    return simple_reply(MessageType::HEARTBEAT_ECHO);
}

Message RequestHandler::on_load_config(const ReceivedRequest& request) {
    const auto outcome = m_state->load_config(request.text(), ServerState::Clock::now());
    if (auto reply = progress_reply(outcome)) {
        return std::move(*reply);
    }
    return simple_reply(MessageType::REQUEST_FAILED, "Unknown basecall configuration: " + request.text());
}

Message RequestHandler::on_load_index(const ReceivedRequest& request) {
    // "path" or "path:>minimap_opt_string=options".
    std::string path = request.text();
    std::string options;
    if (const auto separator = request.text().rfind(":>"); separator != std::string::npos) {
        const auto items = ipc_tools::parse_key_values(request.text().substr(separator + 1));
        if (!items) {
            return simple_reply(MessageType::BAD_REQUEST, "Could not parse index text: " + request.text());
        }
        path = request.text().substr(0, separator);
        options = item_or_empty(*items, "minimap_opt_string");
    }
    const std::string failure_prefix = "Could not load alignment index " + path + ": ";
    // Outside the data root only the settings' own indices are known;
    // whether a file is there is not told.
    if (!m_alignment.may_read(path)) {
        if (!m_state->describes_index(path)) {
            return simple_reply(MessageType::REQUEST_FAILED, failure_prefix + outside_data_root);
        }
    } else if (const auto real = m_alignment.load_index(path, options)) {
        return load_reply(*real, failure_prefix);
    }
    // Options are read before any file is, as the aligner's own command
    // line does; text that is no options at all gets the refusal below.
    if (starts_with_flag(options)) {
        if (auto error = AlignmentService::options_error(options)) {
            return simple_reply(MessageType::INVALID_ALIGNER_OPTIONS, *error);
        }
    }
    const auto outcome = m_state->load_index(path, options, ServerState::Clock::now());
    if (auto reply = progress_reply(outcome)) {
        return std::move(*reply);
    }
    if (outcome == LoadOutcome::invalid_options) {
        return simple_reply(MessageType::INVALID_ALIGNER_OPTIONS, "Invalid aligner options: " + options);
    }
    return simple_reply(MessageType::REQUEST_FAILED, "Unknown alignment index: " + path);
}

Message RequestHandler::on_load_bed(const ReceivedRequest& request) {
    const std::string& path = request.text();
    const std::string failure_prefix = "Could not load bed file " + path + ": ";
    if (!m_alignment.may_read(path)) {
        if (!m_state->describes_bed(path)) {
            return simple_reply(MessageType::REQUEST_FAILED, failure_prefix + outside_data_root);
        }
    } else if (const auto real = m_alignment.load_bed(path)) {
        return load_reply(*real, failure_prefix);
    }
    const auto outcome = m_state->load_bed(request.text(), ServerState::Clock::now());
    if (auto reply = progress_reply(outcome)) {
        return std::move(*reply);
    }
    return simple_reply(MessageType::REQUEST_FAILED, "Unknown bed file: " + request.text());
}

Message RequestHandler::on_get_configs(const ReceivedRequest& request) {
    // A name asks for that configuration; no name asks for all of them.
    // `names` always lists every configuration the server knows.
    flatbuffers::FlatBufferBuilder builder(256);
    std::vector<flatbuffers::Offset<wire::ConfigEntry>> entries;
    std::vector<std::string> names;
    for (const auto& config : m_state->settings().configurations) {
        names.push_back(config.name);
        if (request.text().empty() || request.text() == config.name) {
            entries.push_back(wire::CreateConfigEntryDirect(builder,
                                                            config.name.c_str(),
                                                            config.model_version_id.c_str(),
                                                            config.modbase_model_version_id.c_str(),
                                                            config.duplex));
        }
    }
    const auto name_list = builder.CreateVectorOfStrings(names);
    const auto entry_list = builder.CreateVector(entries);
    return config_list_reply(builder, wire::CreateConfigList(builder, entry_list, 0, name_list));
}

Message RequestHandler::on_get_indices(const ReceivedRequest&) {
    flatbuffers::FlatBufferBuilder builder(256);
    std::vector<flatbuffers::Offset<wire::IndexHeader>> headers;
    for (const auto& index : m_state->loaded_index_headers()) {
        headers.push_back(wire::CreateIndexHeaderDirect(builder, index.name.c_str(), index.header.c_str()));
    }
    return config_list_reply(builder, wire::CreateConfigListDirect(builder, nullptr, &headers));
}

Message RequestHandler::on_connect(const ReceivedRequest& request) {
    ConnectRequest connect;
    const auto colon = request.text().find(':');
    connect.config = request.text().substr(0, colon);
    const auto items =
        ipc_tools::parse_key_values(colon == std::string::npos ? std::string() : request.text().substr(colon + 1));
    if (!items) {
        return simple_reply(MessageType::BAD_REQUEST, "Could not parse connection text: " + request.text());
    }
    connect.priority = ipc_tools::priority_of_connect_code(request.value());
    connect.client_name = item_or_empty(*items, "client_name");
    connect.barcode_kits = item_or_empty(*items, "barcode_kits");
    connect.align_ref = item_or_empty(*items, "align_ref");
    connect.minimap_opt_string = item_or_empty(*items, "minimap_opt_string");
    connect.bed_file = item_or_empty(*items, "bed_file");
    connect.estimate_poly_a = item_or_empty(*items, "estimate_poly_a") == "1";
    const std::string timeout = item_or_empty(*items, "timeout_interval");
    if (!timeout.empty()) {
        char* end = nullptr;
        const unsigned long seconds = std::strtoul(timeout.c_str(), &end, 10);
        if (*end != '\0' || timeout.front() == '-' || seconds > 0xffffffffUL) {
            return simple_reply(MessageType::BAD_REQUEST, "Could not read timeout_interval: " + timeout);
        }
        connect.timeout_interval = static_cast<std::uint32_t>(seconds);
    }

    std::string client_uid;
    const FilesOnDisk on_disk{m_alignment.holds_index(connect), m_alignment.holds_bed(connect.bed_file)};
    switch (m_state->connect(connect, client_uid, on_disk)) {
    case ConnectOutcome::connected:
        break;
    case ConnectOutcome::invalid_config:
        return simple_reply(MessageType::INVALID_CONFIG);
    case ConnectOutcome::invalid_barcode_kit:
        return simple_reply(MessageType::INVALID_BARCODE_KIT);
    case ConnectOutcome::invalid_index:
        return simple_reply(MessageType::INVALID_INDEX);
    case ConnectOutcome::invalid_bed:
        return simple_reply(MessageType::INVALID_BED);
    case ConnectOutcome::too_many_clients:
        return simple_reply(MessageType::BAD_REQUEST, "Too many clients: this server serves at most " +
                                                          std::to_string(m_state->settings().max_clients) +
                                                          " at once; try again once one has disconnected");
    }
    m_data_plane.open(client_uid, connect, *m_state->find_configuration(connect.config), m_now,
                      m_alignment.aligner_for(connect));
    const auto& settings = m_state->settings();
    return simple_reply(MessageType::CONNECTED, ">client_uid=" + client_uid + ">server_version=" +
                                                    settings.server_version + ">minimap_version=" +
                                                    settings.minimap_version);
}

Message RequestHandler::on_disconnect(const ReceivedRequest& request) {
    if (!m_state->disconnect(request.client_id())) {
        return simple_reply(MessageType::CLIENT_NOT_RECOGNISED);
    }
    m_data_plane.close(request.client_id());
    m_stalled_until.erase(request.client_id());
    return simple_reply(MessageType::DISCONNECTED);
}

Message RequestHandler::on_query(const ReceivedRequest& request) {
    if (request.value() != static_cast<std::int32_t>(ipc_tools::QueryCode::internal_state)) {
        return simple_reply(MessageType::BAD_REQUEST, "Unknown query code: " + std::to_string(request.value()));
    }
    return simple_reply(MessageType::RESPONSE, m_state->internal_state_json());
}

Message RequestHandler::on_get_statistics(const ReceivedRequest&) { return statistics_reply(m_state->take_statistics()); }

Message RequestHandler::on_get_barcode_kits(const ReceivedRequest&) {
    flatbuffers::FlatBufferBuilder builder(1024);
    std::vector<flatbuffers::Offset<wire::BarcodeKit>> kits;
    for (const auto& kit : m_state->settings().barcode_kits) {
        kits.push_back(wire::CreateBarcodeKitDirect(builder,
                                                    kit.kit_name.c_str(),
                                                    kit.is_both_ends,
                                                    kit.has_barcode12a,
                                                    kit.first_index,
                                                    kit.last_index,
                                                    kit.normalised_pattern.c_str()));
    }
    return config_list_reply(builder, wire::CreateConfigListDirect(builder, nullptr, nullptr, nullptr, &kits));
}

Message RequestHandler::on_no_more_data(const ReceivedRequest& request) {
    m_state->set_no_more_data(request.client_id());
    return simple_reply(MessageType::SUCCESS);
}

Message RequestHandler::on_pass_reads(const ReceivedRequest& request) {
    DataPlane::Answer answer = m_data_plane.pass_reads(request, m_now, m_effects.extra_latency);
    m_state->count_reads(request.client_id(), answer.reads_in, 0);
    report_backlog(request.client_id());
    return std::move(answer.reply);
}

Message RequestHandler::on_get_first_called_block(const ReceivedRequest& request) {
    if (m_effects.lose_reads) {
        m_data_plane.lose_reads(request.client_id());
        report_backlog(request.client_id());
        return simple_reply(MessageType::NONE_PENDING, "", 1);
    }
    DataPlane::Answer answer = m_data_plane.get_first_called_block(request, m_now, m_effects.malformation);
    m_state->count_reads(request.client_id(), 0, answer.reads_out);
    report_backlog(request.client_id());
    return std::move(answer.reply);
}

Message RequestHandler::on_get_next_called_block(const ReceivedRequest& request) {
    Message reply = std::move(m_data_plane.get_next_called_block(request, m_effects.malformation).reply);
    report_backlog(request.client_id());
    return reply;
}

void RequestHandler::report_backlog(const std::string& client_id) {
    const DataPlane::Backlog backlog = m_data_plane.backlog(client_id);
    m_state->set_read_backlog(client_id, backlog.partial_reads, backlog.reads_pending, backlog.bytes_held);
}

}  // namespace reference_server
