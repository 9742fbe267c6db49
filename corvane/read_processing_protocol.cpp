#include "corvane/read_processing_protocol.h"

#include <utility>

#include "common/runtime/contract.h"
#include "common/runtime/logger.h"
#include "common/read_model/read_alignment.h"
#include "common/read_model/read_holder.h"
#include "corvane/read_buffer.h"
#include "corvane/request_broker_adapter.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"

namespace corvane {

namespace {

using common::ReadHolder;
using common::diagnostics::tracing::TraceScope;
using ipc_tools::Message;
using ipc_tools::MessageType;

// The longest alignment genome name a read can carry, plus one: the first
// length that is refused.
constexpr int refused_genome_name_length = 253;

// A read tag travels in a 32-bit field, and as the signed value of a
// request: the same bit pattern either way, also from 2^31 up.
std::int32_t tag_as_value(std::uint32_t read_tag) { return static_cast<std::int32_t>(read_tag); }

namespace dw = vesk::data_wrappers::v2;
constexpr dw::dataset result_datasets[] = {dw::sequence, dw::qstring, dw::movement, dw::base_mod_probs,
                                           dw::align_results};

std::string string_of(const flatbuffers::String* text) { return text ? text->str() : std::string(); }

}  // namespace

ReadProcessingProtocol::ReadProcessingProtocol() { TraceScope scope(trace_context(), "ReadProcessingProtocol"); }

ReadProcessingProtocol::~ReadProcessingProtocol() { TraceScope scope(trace_context(), "~ReadProcessingProtocol"); }

bool ReadProcessingProtocol::set_connection_id(std::string connection_id) {
    trace_context().trace("set_connection_id", connection_id);
    m_connection_id = std::move(connection_id);
    return m_sent_no_more_data.exchange(false);
}

void ReadProcessingProtocol::set_enable_moves(bool enable_moves) {
    trace_context().trace("set_enable_moves", enable_moves ? "1" : "0");
    m_enable_moves = enable_moves;
}

void ReadProcessingProtocol::set_no_more_data() {
    TraceScope scope(trace_context(), "set_no_more_data");
    m_no_more_data.exchange(true);
    m_sent_no_more_data.exchange(false);
    wake();
}

void ReadProcessingProtocol::stop() {
    TraceScope scope(trace_context(), "stop");
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake_event.notify_all();
}

void ReadProcessingProtocol::wake() {
    {
        std::lock_guard lock(m_mutex);
        m_wake_requested = true;
    }
    m_wake_event.notify_all();
}

bool ReadProcessingProtocol::stop_requested() {
    std::lock_guard lock(m_mutex);
    // A wake that came before this turn looked at the buffer has been
    // served by the turn itself.
    m_wake_requested = false;
    return m_stop;
}

void ReadProcessingProtocol::wait_idle() {
    // The same pace toward the server as a plain pause, but a queued read,
    // no more data or stop ends it early.
    std::unique_lock lock(m_mutex);
    m_wake_event.wait_until(lock, std::chrono::steady_clock::now() + idle_wait,
                            [this] { return m_stop || m_wake_requested; });
}

void ReadProcessingProtocol::set_error(ConnectionError code, std::string message) {
    m_last_error = ConnectionErrorInfo{code, std::move(message)};
}

ConnectionErrorInfo ReadProcessingProtocol::process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) {
    QOR_EXPECTS(!m_connection_id.empty(), "process_reads requires valid connection id");
    QOR_EXPECTS(request_broker != nullptr, "process_reads requires valid request_broker");
    QOR_EXPECTS(read_buffer != nullptr, "process_reads requires valid read_buffer");

    TraceScope scope(trace_context(), "process_reads");
    m_read_buffer = read_buffer;
    m_last_error = ConnectionErrorInfo{};
    read_buffer->set_work_listener([this] { wake(); });
    bool buffer_closed = false;

    for (;;) {
        if (stop_requested()) {
            break;
        }
        if (ConnectionErrorInfo buffer_error = read_buffer->get_error_state();
            buffer_error.code != ConnectionError::no_error) {
            m_last_error = std::move(buffer_error);
            break;
        }
        // Once the application has declared no more data, the buffer refuses
        // further reads, so none can be queued after NO_MORE_DATA is sent.
        if (!buffer_closed && m_no_more_data.load()) {
            read_buffer->set_no_more_data();
            buffer_closed = true;
        }

        Result pushed = Result::idle;
        if (read_buffer->num_queued_reads() > 0 && !m_sent_no_more_data.load()) {
            pushed = push_into_server(*request_broker);
            if (pushed == Result::error) {
                break;
            }
        }
        Result pulled = Result::idle;
        if (read_buffer->num_submitted_reads() > 0) {
            pulled = pull_from_server(*request_broker);
            if (pulled == Result::error) {
                break;
            }
        }
        if (m_no_more_data.load() && read_buffer->num_queued_reads() == 0 && !m_sent_no_more_data.load()) {
            if (!send_no_more_data(*request_broker)) {
                break;
            }
        }
        // After the turn's exchanges, each of which restarts the quiet
        // window: a connection with work is never pinged, and a read passed
        // after a quiet spell goes out without a ping ahead of it.
        if (!request_broker->ping_server_if_quiet(m_connection_id)) {
            m_last_error = request_broker->last_error();
            break;
        }
        if (pushed != Result::success && pulled != Result::success) {
            wait_idle();
        }
    }

    read_buffer->set_work_listener({});
    scope.trace([&] { return to_string(m_last_error); });
    return m_last_error;
}

ReadProcessingProtocol::Result ReadProcessingProtocol::push_into_server(RequestBrokerAdapter& adapter) {
    QOR_EXPECTS(m_read_buffer->num_queued_reads() > 0, "");
    TraceScope scope(hf_trace_context(), "push_into_server");

    std::vector<Message>& messages = m_read_buffer->front_messages();
    if (messages.empty()) {
        m_read_buffer->reads_submitted();
        return Result::success;
    }
    const bool batch = messages.size() == 1 && messages.front().get_type() == MessageType::PASS_READ_BATCH;
    std::uint32_t tag = 0;
    {
        const ipc_tools::wire::Envelope& envelope = messages.front().get_message_data();
        if (batch) {
            const auto* read_batch = envelope.data_as_ReadBatch();
            if (read_batch != nullptr && read_batch->blocks() != nullptr && read_batch->blocks()->size() != 0) {
                tag = read_batch->blocks()->Get(0)->read_tag();
            }
            scope.trace([&] { return "first read_tag for batch: " + std::to_string(tag); });
        } else {
            if (const auto* block = envelope.data_as_ReadBlock()) {
                tag = block->read_tag();
            }
            scope.trace([&] { return "read_tag: " + std::to_string(tag); });
        }
    }

    for (std::size_t i = 0; i < messages.size(); ++i) {
        Message reply;
        bool sent = false;
        if (i == 0) {
            // The same bytes under a second holder, so that the unit stays
            // whole when the server is not ready.
            Message first = messages.front().share();
            sent = adapter.send_request(first, reply);
        } else {
            sent = adapter.send_request(messages[i], reply);
        }
        if (!sent) {
            m_last_error = adapter.last_error();
            return Result::error;
        }
        if (reply.get_type() == MessageType::NOT_READY) {
            if (i == 0) {
                return Result::idle;
            }
            trace_context().trace("push_into_server", "Server rejected block: " + std::to_string(i));
            set_error(ConnectionError::bad_reply,
                      "Server accepted first block of read, but then rejected subsequent block for read: " +
                          std::to_string(tag));
            return Result::error;
        }
        const MessageType expected = batch ? MessageType::BATCH_ACCEPTED : MessageType::RAW_BLOCK_ACCEPTED;
        if (reply.get_type() != expected) {
            set_error(ConnectionError::invalid_response,
                      std::string("Failed to push to server, invalid reply: ") + ipc_tools::to_string(reply.get_type()) +
                          (batch ? " from basecall server when passing read batch with first read: "
                                 : " from basecall server when passing raw read data for read: ") +
                          std::to_string(tag) + ". Connection id: " + m_connection_id);
            return Result::error;
        }
    }
    m_read_buffer->reads_submitted();
    return Result::success;
}

ReadProcessingProtocol::Result ReadProcessingProtocol::pull_from_server(RequestBrokerAdapter& adapter) {
    Message request(MessageType::GET_FIRST_CALLED_BLOCK, m_connection_id, m_enable_moves ? 1 : 0, std::string());
    Message reply;
    if (!adapter.send_request(request, reply)) {
        m_last_error = adapter.last_error();
        return Result::error;
    }
    const MessageType reply_type = reply.get_type();
    const auto invalid_reply = [&] {
        const std::string text =
            std::string("Failed to pull from server, invalid reply: ") + ipc_tools::to_string(reply_type);
        trace_context().trace("pull_from_server", text);
        set_error(ConnectionError::invalid_response, text);
        return Result::error;
    };

    // Verified once here; every field below is read through this view.
    const ipc_tools::wire::Envelope& envelope = reply.get_message_data();
    if (reply_type == MessageType::NONE_PENDING) {
        const auto* body = envelope.data_as_Reply();
        if (body == nullptr) {
            return invalid_reply();
        }
        if (body->value() == 1) {
            QOR_LOG_WARNING("One or more reads has been lost on the server.");
            m_read_buffer->clear_submitted_reads();
        }
        return Result::idle;
    }

    TraceScope scope(hf_trace_context(), "pull_from_server");
    if (reply_type == MessageType::RETURN_FIRST_CALLED_BLOCK) {
        const auto* block = envelope.data_as_ReadBlock();
        if (block == nullptr) {
            return invalid_reply();
        }
        ReadHolder* target = process_read_message(adapter, *block);
        if (target == nullptr) {
            return Result::error;
        }
        if (block->sub_tag() != 0) {
            m_read_buffer->sub_read_retrieved(target->read_tag, target->sub_tag);
        } else {
            m_read_buffer->read_retrieved(target->read_tag);
        }
        return Result::success;
    }
    if (reply_type == MessageType::RETURN_COMPLETED_BATCH) {
        const auto malformed_batch = [&] {
            const std::string text = "Failed to pull from server, incorrectly formed read batch.";
            trace_context().trace("pull_from_server", text);
            set_error(ConnectionError::invalid_response, text);
            return Result::error;
        };
        const auto* batch = envelope.data_as_ReadBatch();
        if (batch == nullptr || batch->type() != ipc_tools::wire::BatchKind::COMPLETED_BATCH ||
            batch->blocks() == nullptr) {
            return malformed_batch();
        }
        // Keys, not the records: a read the batch names twice leaves on its
        // first key, and the record with it.
        std::vector<ReadBuffer::ReturnedKey> returned;
        returned.reserve(batch->blocks()->size());
        for (const ipc_tools::wire::ReadBlock* block : *batch->blocks()) {
            const ReadHolder* target = process_read_message(adapter, *block);
            if (target == nullptr) {
                return malformed_batch();
            }
            returned.emplace_back(target->read_tag, target->sub_tag);
        }
        m_read_buffer->reads_retrieved(returned);
        return Result::success;
    }
    return invalid_reply();
}

ReadHolder* ReadProcessingProtocol::process_read_message(RequestBrokerAdapter& adapter,
                                                         const ipc_tools::wire::ReadBlock& block) {
    const std::uint32_t tag = block.read_tag();
    ReadHolder* submitted = m_read_buffer->find_submitted_read(tag);
    if (submitted == nullptr) {
        const std::string text = "Returned read does not belong to this client: " + std::to_string(tag);
        trace_context().trace("process_read_message", text);
        set_error(ConnectionError::bad_reply, text);
        return nullptr;
    }
    ReadHolder* target = submitted;
    if (block.sub_tag() != 0) {
        ReadHolder piece = submitted->derive_returned_read(block.sub_tag());
        // A parent decoded earlier in the same batch already holds its own
        // results; the piece must get its own, not inherit those.
        for (const auto key : result_datasets) {
            piece.datasets.erase(key);
        }
        target = m_read_buffer->add_sub_read(std::move(piece));
    }

    // What the continuation step works on, captured as one reference so
    // that the step fits the function's own room: a short read's block
    // makes no allocation for it. The reply holds the latest continuation
    // while its block is decoded.
    struct Continuation {
        RequestBrokerAdapter& adapter;
        const ipc_tools::wire::ReadBlock& first;
        Message reply;
    } continuation{adapter, block, Message()};
    const ipc_tools::NextCalledBlock next = [this, &continuation]() -> const ipc_tools::wire::ReadBlock* {
        const ipc_tools::wire::ReadBlock& first = continuation.first;
        Message request(MessageType::GET_NEXT_CALLED_BLOCK, m_connection_id, tag_as_value(first.read_tag()),
                        string_of(first.strand_id()));
        Message& next_reply = continuation.reply;
        next_reply = Message();
        if (!continuation.adapter.send_request(request, next_reply)) {
            m_last_error = continuation.adapter.last_error();
            return nullptr;
        }
        const ipc_tools::wire::ReadBlock* continued = nullptr;
        if (next_reply.get_type() == MessageType::RETURN_NEXT_CALLED_BLOCK) {
            continued = next_reply.get_message_data().data_as_ReadBlock();
        }
        if (continued == nullptr) {
            const std::string text = std::string("Failed to get next block from server, invalid reply: ") +
                                     ipc_tools::to_string(next_reply.get_type());
            trace_context().trace("process_read_message", text);
            set_error(ConnectionError::invalid_response, text);
        }
        return continued;
    };
    m_last_error = ConnectionErrorInfo{};
    const ipc_tools::DecodeResult decoded = ipc_tools::decode_called_block(*target, block, next);
    switch (decoded.failure) {
    case ipc_tools::DecodeFailure::none:
        break;
    case ipc_tools::DecodeFailure::zero_duration: {
        const std::string text = "Duration metadata missing for submitted read: " + std::to_string(tag);
        trace_context().trace("process_read_message", text);
        set_error(ConnectionError::failed, text);
        return nullptr;
    }
    case ipc_tools::DecodeFailure::genome_name_too_long:
        set_error(ConnectionError::bad_reply, "Alignment genome name " + decoded.detail +
                                                  " exceeds maximum allowed size of " +
                                                  std::to_string(refused_genome_name_length));
        return nullptr;
    case ipc_tools::DecodeFailure::failed_continuation:
        if (m_last_error.code == ConnectionError::no_error) {
            set_error(ConnectionError::failed, "Failed to get next block from server: " + decoded.detail);
        }
        return nullptr;
    case ipc_tools::DecodeFailure::malformed_data:
        set_error(ConnectionError::invalid_response,
                  "Malformed called block from server for read " + std::to_string(tag) + ": " + decoded.detail);
        return nullptr;
    }

    if (target->datasets.count(dw::align_results) != 0) {
        common::update_alignment_metadata(*target);
    }
    return target;
}

bool ReadProcessingProtocol::send_no_more_data(RequestBrokerAdapter& adapter) {
    TraceScope scope(trace_context(), "send_no_more_data");
    Message request(MessageType::NO_MORE_DATA, m_connection_id, 0, std::string());
    Message reply;
    if (!adapter.send_request(request, reply)) {
        m_last_error = adapter.last_error();
        return false;
    }
    m_sent_no_more_data.exchange(true);
    return true;
}

}  // namespace corvane
