#include "reference_server/data_plane/received_request.h"

#include <cstring>
#include <utility>

namespace reference_server {

namespace {

namespace wire = ipc_tools::wire;

constexpr std::size_t minimum_size = 8;
constexpr std::size_t identifier_offset = 4;
constexpr std::size_t identifier_size = 4;

// The client library's verifier limits.
constexpr flatbuffers::uoffset_t verifier_max_depth = 64;
constexpr flatbuffers::uoffset_t verifier_max_tables = 1000000;

std::string printable_identifier(const char* bytes) {
    std::string identifier;
    for (std::size_t i = 0; i < identifier_size; ++i) {
        const char c = bytes[identifier_offset + i];
        identifier += (c >= ' ' && c <= '~') ? c : '?';
    }
    return identifier;
}

}  // namespace

ReceivedRequest::ReceivedRequest(zmq::message_t&& frame) : m_bytes(std::make_shared<Bytes>()) {
    m_bytes->frame = std::move(frame);
    const std::size_t size = m_bytes->frame.size();
    if (size < minimum_size) {
        m_refusal = "Request frame of " + std::to_string(size) + " bytes is too short for a message.";
        return;
    }
    const auto* bytes = m_bytes->frame.data<std::uint8_t>();
    if (std::memcmp(bytes + identifier_offset, ipc_tools::file_identifier, identifier_size) != 0) {
        m_type = ipc_tools::MessageType::INVALID_PROTOCOL;
        m_refusal = "Protocol mismatch: request of protocol " +
                    printable_identifier(reinterpret_cast<const char*>(bytes)) + ", this server speaks protocol " +
                    ipc_tools::file_identifier + ".";
        return;
    }
    if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(std::uint64_t) != 0) {
        std::vector<std::uint64_t>& copy = m_bytes->aligned_copy;
        copy.resize((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
        std::memcpy(copy.data(), bytes, size);
        bytes = reinterpret_cast<const std::uint8_t*>(copy.data());
    }
    flatbuffers::Verifier verifier(bytes, size, verifier_max_depth, verifier_max_tables, true);
    if (!wire::VerifyEnvelopeBuffer(verifier)) {
        m_refusal = "Request could not be read: Invalid MessageData in Message.";
        return;
    }
    m_envelope = wire::GetEnvelope(bytes);
    m_type = ipc_tools::classify(*m_envelope);
    if (m_type == ipc_tools::MessageType::UNSET) {
        m_refusal = "Request of an unknown kind.";
        return;
    }
    if (m_envelope->client_id()) {
        m_client_id = m_envelope->client_id()->str();
    }
    if (const wire::Request* body = m_envelope->data_as_Request()) {
        m_value = body->value();
        if (body->text()) {
            m_text = body->text()->str();
        }
    }
}

}  // namespace reference_server
