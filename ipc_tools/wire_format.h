#pragma once

// The wire format: generated accessors of wire_format.fbs plus the rules the
// schema alone does not carry: which MessageType a buffer is, and how every
// buffer is wrapped in its Envelope.
//
// Typed access to an envelope's body is the generated data_as_Request(),
// data_as_Reply(), data_as_ReadBlock(), data_as_ReadBatch(),
// data_as_ConfigList() and data_as_Statistics(): each is null when the union
// holds another member.

#include <cstdint>
#include <optional>
#include <string>

#include <flatbuffers/flatbuffers.h>
#include <ipc_tools/wire_format_generated.h>

#include "ipc_tools/message_type.h"

namespace ipc_tools {

// Every message this library builds carries this version; the same number
// forms the file identifier. Readers do not check it.
inline constexpr std::int32_t protocol_version_major = 26;
inline constexpr std::int32_t protocol_version_minor = 0;
inline constexpr std::int32_t protocol_version_patch = 0;

// Bytes 4..7 of every buffer.
inline constexpr const char* file_identifier = "0026";

// The MessageType of a buffer, from its union member and that member's type
// field (absent reads as 0). An unknown member, a missing body or a type
// outside the member's list gives UNSET.
MessageType classify(const wire::Envelope& envelope) noexcept;

// The wire type of a kind carried as a Request or a Reply body, or the kind
// field of one carried as a ReadBlock or ReadBatch; nothing for kinds
// carried otherwise.
std::optional<wire::RequestType> request_type_of(MessageType type) noexcept;
std::optional<wire::ReplyType> reply_type_of(MessageType type) noexcept;
std::optional<wire::BlockKind> block_kind_of(MessageType type) noexcept;
std::optional<wire::BatchKind> batch_kind_of(MessageType type) noexcept;

// Adds the client id (omitted when empty) and the Envelope around an already
// built body, and finishes the buffer with the file identifier and no size
// prefix. The builder is then ready to become a Message.
void finish_envelope(flatbuffers::FlatBufferBuilder& builder,
                     const std::string& client_id,
                     wire::MessageData data_type,
                     flatbuffers::Offset<void> data);

}  // namespace ipc_tools
