#include "support/raw_read_messages.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <flatbuffers/flatbuffers.h>

#include "ipc_tools/wire_format.h"

namespace bench_support {

namespace {

namespace wire = ipc_tools::wire;

void free_detached(void* /*data*/, void* hint) { delete static_cast<flatbuffers::DetachedBuffer*>(hint); }

// The built bytes handed to ZeroMQ as they are, without a copy.
zmq::message_t frame_of(flatbuffers::FlatBufferBuilder& builder) {
    auto* buffer = new flatbuffers::DetachedBuffer(builder.Release());
    return zmq::message_t(buffer->data(), buffer->size(), &free_detached, buffer);
}

void finish(flatbuffers::FlatBufferBuilder& builder,
            const std::string& client_id,
            wire::MessageData type,
            flatbuffers::Offset<void> data) {
    const auto id = client_id.empty() ? flatbuffers::Offset<flatbuffers::String>() : builder.CreateString(client_id);
    const wire::ProtocolVersion version(ipc_tools::protocol_version_major, ipc_tools::protocol_version_minor,
                                        ipc_tools::protocol_version_patch);
    builder.Finish(wire::CreateEnvelope(builder, &version, id, type, data), ipc_tools::file_identifier);
}

std::string reply_bytes(wire::ReplyType type) {
    flatbuffers::FlatBufferBuilder builder(128);
    finish(builder, std::string(), wire::MessageData::Reply, wire::CreateReply(builder, type, 0).Union());
    return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()), builder.GetSize());
}

// FlatBuffers reads scalars in place, so a frame that ZeroMQ left at an odd
// address is read from an aligned copy, as the client does.
const wire::Envelope* verified(const zmq::message_t& frame, std::vector<std::uint64_t>& aligned) {
    const auto* bytes = frame.data<std::uint8_t>();
    if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(std::uint64_t) != 0) {
        aligned.resize((frame.size() + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
        std::memcpy(aligned.data(), bytes, frame.size());
        bytes = reinterpret_cast<const std::uint8_t*>(aligned.data());
    }
    flatbuffers::Verifier verifier(bytes, frame.size());
    return wire::VerifyEnvelopeBuffer(verifier) ? wire::GetEnvelope(bytes) : nullptr;
}

std::string text_of(const flatbuffers::String* text) { return text != nullptr ? text->str() : std::string(); }

}  // namespace

zmq::message_t build_read_batch(std::span<const RawRead> reads, const std::string& client_id) {
    std::size_t room = 256;
    for (const RawRead& read : reads) {
        room += 2 * read.signal->size() + read.read_id.size() + 160;
    }
    flatbuffers::FlatBufferBuilder builder(room);
    std::vector<flatbuffers::Offset<wire::ReadBlock>> blocks;
    blocks.reserve(reads.size());
    for (const RawRead& read : reads) {
        const auto duration = static_cast<std::uint32_t>(read.signal->size());
        blocks.push_back(wire::CreateReadBlockDirect(builder, wire::BlockKind::FIRST_RAW_BLOCK, read.read_tag, 0, 1,
                                                     duration, 0.0f, 0.1f, read.read_id.c_str(), read.signal, 0, 0,
                                                     "", 1000 + read.read_tag, 0, 5000.0f, 0, nullptr, nullptr,
                                                     false, "", "", ""));
    }
    const auto batch = wire::CreateReadBatch(builder, wire::BatchKind::READ_BATCH, builder.CreateVector(blocks));
    finish(builder, client_id, wire::MessageData::ReadBatch, batch.Union());
    return frame_of(builder);
}

zmq::message_t build_pull_request(const std::string& client_id) {
    flatbuffers::FlatBufferBuilder builder(128);
    const auto request = wire::CreateRequestDirect(builder, wire::RequestType::GET_FIRST_CALLED_BLOCK, 0, "");
    finish(builder, client_id, wire::MessageData::Request, request.Union());
    return frame_of(builder);
}

std::string batch_accepted_reply() { return reply_bytes(wire::ReplyType::BATCH_ACCEPTED); }

std::string completed_batch_reply(std::size_t reads, std::size_t samples, std::size_t stride) {
    const std::size_t bases = samples / std::max<std::size_t>(stride, 1);
    const std::string sequence(bases, 'A');
    const std::string qstring(bases, '5');
    flatbuffers::FlatBufferBuilder builder(reads * (2 * bases + 300) + 256);
    std::vector<flatbuffers::Offset<wire::ReadBlock>> blocks;
    for (std::size_t i = 0; i < reads; ++i) {
        const auto scaling = wire::CreateScalingInfoDirect(builder, 0.0f, 1.0f, "median_mad");
        const auto called = wire::CreateCalledReadDirect(
            builder, 0, static_cast<std::uint32_t>(bases), 10.0f, 0.0f, 1.0f, static_cast<std::uint32_t>(stride), 0,
            sequence.c_str(), qstring.c_str(), scaling, nullptr, 0, nullptr, 0, 0, nullptr, "ref_dna_fast_model");
        const std::string read_id = "bench_" + std::to_string(i + 1);
        blocks.push_back(wire::CreateReadBlockDirect(builder, wire::BlockKind::FIRST_CALLED_BLOCK,
                                                     static_cast<std::uint32_t>(i + 1), 0, 1,
                                                     static_cast<std::uint32_t>(samples), 0.0f, 0.1f,
                                                     read_id.c_str(), nullptr, called));
    }
    const auto batch = wire::CreateReadBatch(builder, wire::BatchKind::COMPLETED_BATCH, builder.CreateVector(blocks));
    finish(builder, std::string(), wire::MessageData::ReadBatch, batch.Union());
    return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()), builder.GetSize());
}

bool read_completed_batch(const zmq::message_t& frame, std::vector<RawCalledRead>& called) {
    std::vector<std::uint64_t> aligned;
    const wire::Envelope* envelope = verified(frame, aligned);
    const wire::ReadBatch* batch = envelope != nullptr ? envelope->data_as_ReadBatch() : nullptr;
    if (batch == nullptr || batch->blocks() == nullptr) {
        return false;
    }
    for (const wire::ReadBlock* block : *batch->blocks()) {
        const wire::CalledRead* result = block->called_read();
        if (result == nullptr) {
            return false;
        }
        called.push_back(
            {block->read_tag(), text_of(block->read_id()), text_of(result->sequence()), text_of(result->qstring())});
    }
    return true;
}

bool verify_reply(const zmq::message_t& frame) {
    std::vector<std::uint64_t> aligned;
    return verified(frame, aligned) != nullptr;
}

}  // namespace bench_support
