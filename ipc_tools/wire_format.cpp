#include "ipc_tools/wire_format.h"

#include <array>

namespace ipc_tools {

namespace {

using enum MessageType;

// Indexed by the wire's RequestType / ReplyType / BlockKind / BatchKind.
constexpr std::array request_kinds = {
    CONNECT,        DISCONNECT,         TERMINATE,   GET_STATISTICS,         LOAD_CONFIG,
    GET_CONFIGS,    GET_FIRST_CALLED_BLOCK, GET_NEXT_CALLED_BLOCK, LOAD_INDEX, GET_INDICES,
    LOAD_BED,       GET_BARCODE_KITS,   HEARTBEAT_PING, QUERY,               NO_MORE_DATA,
};

constexpr std::array reply_kinds = {
    CONNECTED,          DISCONNECTED,    SHUTTING_DOWN,  INVALID_CONFIG,
    INVALID_BARCODE_KIT, CLIENT_NOT_RECOGNISED, RAW_BLOCK_ACCEPTED, BATCH_ACCEPTED,
    NOT_READY,          NONE_PENDING,    BAD_REQUEST,    INVALID_INDEX,
    INVALID_BED,        HEARTBEAT_ECHO,  RESPONSE,       LOADING,
    SUCCESS,            REQUEST_FAILED,  INVALID_ALIGNER_OPTIONS,
};

constexpr std::array block_kinds = {
    PASS_FIRST_RAW_BLOCK, PASS_NEXT_RAW_BLOCK, RETURN_FIRST_CALLED_BLOCK, RETURN_NEXT_CALLED_BLOCK,
};

constexpr std::array batch_kinds = {PASS_READ_BATCH, RETURN_COMPLETED_BATCH};

template <std::size_t N>
MessageType kind_at(const std::array<MessageType, N>& kinds, std::int32_t wire_type) noexcept {
    if (wire_type < 0 || static_cast<std::size_t>(wire_type) >= N) {
        return UNSET;
    }
    return kinds[static_cast<std::size_t>(wire_type)];
}

// The kind a body of a typed member stands for: its type field's entry in
// `kinds`; UNSET for a missing body.
template <class Body, std::size_t N>
MessageType kind_of(const Body* body, const std::array<MessageType, N>& kinds) noexcept {
    return body != nullptr ? kind_at(kinds, static_cast<std::int32_t>(body->type())) : UNSET;
}

// The wire value of `type`: its index in `kinds`.
template <class Wire, std::size_t N>
std::optional<Wire> wire_value_of(const std::array<MessageType, N>& kinds, MessageType type) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (kinds[i] == type) {
            return static_cast<Wire>(i);
        }
    }
    return std::nullopt;
}

}  // namespace

MessageType classify(const wire::Envelope& envelope) noexcept {
    switch (envelope.data_type()) {
    case wire::MessageData::Request:
        return kind_of(envelope.data_as_Request(), request_kinds);
    case wire::MessageData::Reply:
        return kind_of(envelope.data_as_Reply(), reply_kinds);
    case wire::MessageData::ReadBlock:
        return kind_of(envelope.data_as_ReadBlock(), block_kinds);
    case wire::MessageData::ReadBatch:
        return kind_of(envelope.data_as_ReadBatch(), batch_kinds);
    case wire::MessageData::ConfigList:
        return envelope.data_as_ConfigList() != nullptr ? RETURN_CONFIGS : UNSET;
    case wire::MessageData::Statistics:
        return envelope.data_as_Statistics() != nullptr ? RETURN_STATISTICS : UNSET;
    default:
        return UNSET;
    }
}

std::optional<wire::RequestType> request_type_of(MessageType type) noexcept {
    return wire_value_of<wire::RequestType>(request_kinds, type);
}

std::optional<wire::ReplyType> reply_type_of(MessageType type) noexcept {
    return wire_value_of<wire::ReplyType>(reply_kinds, type);
}

std::optional<wire::BlockKind> block_kind_of(MessageType type) noexcept {
    return wire_value_of<wire::BlockKind>(block_kinds, type);
}

std::optional<wire::BatchKind> batch_kind_of(MessageType type) noexcept {
    return wire_value_of<wire::BatchKind>(batch_kinds, type);
}

void finish_envelope(flatbuffers::FlatBufferBuilder& builder,
                     const std::string& client_id,
                     wire::MessageData data_type,
                     flatbuffers::Offset<void> data) {
    const auto client_id_offset =
        client_id.empty() ? flatbuffers::Offset<flatbuffers::String>() : builder.CreateString(client_id);
    const wire::ProtocolVersion version(protocol_version_major, protocol_version_minor, protocol_version_patch);
    wire::EnvelopeBuilder envelope(builder);
    envelope.add_data(data);
    envelope.add_client_id(client_id_offset);
    envelope.add_version(&version);
    envelope.add_data_type(data_type);
    builder.Finish(envelope.Finish(), file_identifier);
}

}  // namespace ipc_tools
