#include "ipc_tools/ipc_tools.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include <zmq.hpp>

#include "common/runtime/contract.h"
#include "ipc_tools/wire_format.h"

namespace ipc_tools {

namespace {

constexpr std::size_t minimum_buffer_size = 8;
constexpr std::size_t identifier_offset = 4;
constexpr std::size_t identifier_size = 4;

// The verifier's standard limits.
constexpr flatbuffers::uoffset_t verifier_max_depth = 64;
constexpr flatbuffers::uoffset_t verifier_max_tables = 1000000;

constexpr const char* invalid_message_data = "Invalid MessageData in Message.";

void free_detached_buffer(void* /*data*/, void* hint) {
    delete static_cast<flatbuffers::DetachedBuffer*>(hint);
}

std::unique_ptr<zmq::message_t> frame_from_builder(flatbuffers::FlatBufferBuilder& builder) {
    auto buffer = std::make_unique<flatbuffers::DetachedBuffer>(builder.Release());
    auto frame = std::make_unique<zmq::message_t>(buffer->data(), buffer->size(), &free_detached_buffer,
                                                  buffer.get());
    // The frame frees the buffer from now on.
    static_cast<void>(buffer.release());
    return frame;
}

std::int32_t checked_query_value(QueryCode query_code) {
    QOR_EXPECTS(query_code != QueryCode::undefined,
                "The query code for a QUERY request message may not be undefined");
    return static_cast<std::int32_t>(query_code);
}

}  // namespace

Message::Message() noexcept = default;

Message::Message(MessageType type, const std::string& client_id, std::int32_t value, const std::string& text) {
    const auto request_type = request_type_of(type);
    const auto reply_type = reply_type_of(type);
    if (!request_type && !reply_type) {
        throw std::runtime_error("Invalid MessageType for simple message constructor.");
    }

    flatbuffers::FlatBufferBuilder builder(256);
    const auto text_offset =
        text.empty() ? flatbuffers::Offset<flatbuffers::String>() : builder.CreateString(text);
    flatbuffers::Offset<void> body;
    if (request_type) {
        wire::RequestBuilder request(builder);
        request.add_text(text_offset);
        request.add_value(value);
        request.add_type(*request_type);
        body = request.Finish().Union();
    } else {
        wire::ReplyBuilder reply(builder);
        reply.add_text(text_offset);
        reply.add_value(value);
        reply.add_type(*reply_type);
        body = reply.Finish().Union();
    }
    finish_envelope(builder, client_id, request_type ? wire::MessageData::Request : wire::MessageData::Reply, body);

    m_frame = frame_from_builder(builder);
    m_type = type;
}

Message::Message(QueryCode query_code)
    : Message(MessageType::QUERY, std::string(), checked_query_value(query_code), std::string()) {}

Message::Message(flatbuffers::FlatBufferBuilder& builder) : m_frame(frame_from_builder(builder)) {
    // Built here, so trusted: read without verifying.
    m_root = wire::GetEnvelope(m_frame->data());
    m_type = classify(*m_root);
}

Message::Message(zmq::message_t&& frame) {
    if (frame.size() < minimum_buffer_size) {
        return;
    }
    if (std::memcmp(frame.data<char>() + identifier_offset, file_identifier, identifier_size) != 0) {
        m_type = MessageType::INVALID_PROTOCOL;
        return;
    }
    m_frame = std::make_unique<zmq::message_t>(std::move(frame));
    m_type = classify(get_message_data());
}

Message::Message(const Message& other) : m_type(other.m_type) {
    if (other.m_frame) {
        m_frame = std::make_unique<zmq::message_t>(other.m_frame->data(), other.m_frame->size());
    }
}

Message& Message::operator=(const Message& other) {
    if (this != &other) {
        Message copy(other);
        swap(copy);
    }
    return *this;
}

Message::Message(Message&& other) noexcept
    : m_type(std::exchange(other.m_type, MessageType::UNSET)),
      m_frame(std::move(other.m_frame)),
      m_aligned_copy(std::move(other.m_aligned_copy)),
      m_root(std::exchange(other.m_root, nullptr)) {
    other.m_aligned_copy.clear();
}

Message& Message::operator=(Message&& other) noexcept {
    if (this != &other) {
        Message moved(std::move(other));
        swap(moved);
    }
    return *this;
}

Message::~Message() = default;

void Message::swap(Message& other) noexcept {
    std::swap(m_type, other.m_type);
    std::swap(m_frame, other.m_frame);
    std::swap(m_aligned_copy, other.m_aligned_copy);
    std::swap(m_root, other.m_root);
}

Message Message::share() const {
    Message shared;
    shared.m_type = m_type;
    if (m_frame) {
        shared.m_frame = std::make_unique<zmq::message_t>();
        shared.m_frame->copy(*m_frame);
        // Same bytes at the same place: a root found in the frame holds for both.
        shared.m_root = m_aligned_copy.empty() ? m_root : nullptr;
    }
    return shared;
}

const wire::Envelope& Message::get_message_data() const {
    if (m_root != nullptr) {
        return *m_root;
    }
    if (!m_frame || m_frame->size() < minimum_buffer_size) {
        throw std::runtime_error(invalid_message_data);
    }
    const auto* bytes = m_frame->data<std::uint8_t>();
    const std::size_t size = m_frame->size();
    // FlatBuffers reads scalars in place, so they must sit at their natural
    // alignment in memory, not only relative to the buffer start.
    if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(std::uint64_t) != 0) {
        if (m_aligned_copy.empty()) {
            m_aligned_copy.resize((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
            std::memcpy(m_aligned_copy.data(), bytes, size);
        }
        bytes = reinterpret_cast<const std::uint8_t*>(m_aligned_copy.data());
    }

    flatbuffers::Verifier verifier(bytes, size, verifier_max_depth, verifier_max_tables, true);
    if (!wire::VerifyEnvelopeBuffer(verifier)) {
        throw std::runtime_error(invalid_message_data);
    }
    m_root = wire::GetEnvelope(bytes);
    return *m_root;
}

void Message::release_into(zmq::message_t& outgoing) {
    if (m_frame) {
        outgoing.move(*m_frame);
    } else {
        outgoing.rebuild();
    }
    m_frame.reset();
    m_aligned_copy.clear();
    m_root = nullptr;
    m_type = MessageType::UNSET;
}

zmq::message_t frame_of(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return frame;
}

}  // namespace ipc_tools
