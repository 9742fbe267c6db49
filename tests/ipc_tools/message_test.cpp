#include "ipc_tools/ipc_tools.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "ipc_tools/wire_format.h"

using ipc_tools::Message;
using ipc_tools::MessageType;
namespace wire = ipc_tools::wire;

namespace {

// Whether a field is physically present in a table (not just defaulted).
template <class T>
bool has_field(const T* table, flatbuffers::voffset_t field) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

// What the receiving side gets for a message: its bytes in a fresh frame.
Message receive_copy_of(const Message& message) {
    Message sent(message);
    zmq::message_t frame;
    sent.release_into(frame);
    return Message(zmq::message_t(frame.data(), frame.size()));
}

zmq::message_t frame_of(const std::vector<std::uint8_t>& bytes) {
    return zmq::message_t(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> bytes_of(flatbuffers::FlatBufferBuilder& builder) {
    return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

// An envelope whose body `make(builder)` writes as `member` of the union.
template <class Make>
std::vector<std::uint8_t> envelope_of(wire::MessageData member, Make make, const std::string& client_id = "") {
    flatbuffers::FlatBufferBuilder builder;
    const flatbuffers::Offset<void> body = make(builder);
    ipc_tools::finish_envelope(builder, client_id, member, body);
    return bytes_of(builder);
}

// An envelope whose body is a Request or Reply of a raw wire type.
std::vector<std::uint8_t> control_buffer(wire::MessageData member, std::int32_t wire_type) {
    flatbuffers::FlatBufferBuilder builder;
    flatbuffers::Offset<void> body;
    if (member == wire::MessageData::Request) {
        body = wire::CreateRequest(builder, static_cast<wire::RequestType>(wire_type)).Union();
    } else {
        body = wire::CreateReply(builder, static_cast<wire::ReplyType>(wire_type)).Union();
    }
    ipc_tools::finish_envelope(builder, "", member, body);
    return bytes_of(builder);
}

constexpr MessageType all_kinds[] = {
    MessageType::UNSET,
    MessageType::INVALID_PROTOCOL,
    MessageType::BAD_REQUEST,
    MessageType::CONNECT,
    MessageType::CONNECTED,
    MessageType::INVALID_CONFIG,
    MessageType::INVALID_BARCODE_KIT,
    MessageType::INVALID_ALIGNER_OPTIONS,
    MessageType::INVALID_INDEX,
    MessageType::INVALID_BED,
    MessageType::DISCONNECT,
    MessageType::DISCONNECTED,
    MessageType::TERMINATE,
    MessageType::SHUTTING_DOWN,
    MessageType::GET_STATISTICS,
    MessageType::RETURN_STATISTICS,
    MessageType::LOAD_CONFIG,
    MessageType::GET_CONFIGS,
    MessageType::RETURN_CONFIGS,
    MessageType::LOAD_INDEX,
    MessageType::GET_INDICES,
    MessageType::LOAD_BED,
    MessageType::PASS_FIRST_RAW_BLOCK,
    MessageType::NOT_READY,
    MessageType::PASS_NEXT_RAW_BLOCK,
    MessageType::PASS_READ_BATCH,
    MessageType::CLIENT_NOT_RECOGNISED,
    MessageType::RAW_BLOCK_ACCEPTED,
    MessageType::BATCH_ACCEPTED,
    MessageType::GET_FIRST_CALLED_BLOCK,
    MessageType::RETURN_FIRST_CALLED_BLOCK,
    MessageType::NONE_PENDING,
    MessageType::GET_NEXT_CALLED_BLOCK,
    MessageType::RETURN_NEXT_CALLED_BLOCK,
    MessageType::RETURN_COMPLETED_BATCH,
    MessageType::GET_BARCODE_KITS,
    MessageType::HEARTBEAT_PING,
    MessageType::HEARTBEAT_ECHO,
    MessageType::QUERY,
    MessageType::RESPONSE,
    MessageType::LOADING,
    MessageType::SUCCESS,
    MessageType::REQUEST_FAILED,
    MessageType::NO_MORE_DATA,
};

bool carries_a_body(MessageType type) {
    switch (type) {
    case MessageType::UNSET:
    case MessageType::INVALID_PROTOCOL:
    case MessageType::RETURN_STATISTICS:
    case MessageType::RETURN_CONFIGS:
    case MessageType::PASS_FIRST_RAW_BLOCK:
    case MessageType::PASS_NEXT_RAW_BLOCK:
    case MessageType::PASS_READ_BATCH:
    case MessageType::RETURN_FIRST_CALLED_BLOCK:
    case MessageType::RETURN_NEXT_CALLED_BLOCK:
    case MessageType::RETURN_COMPLETED_BATCH:
        return true;
    default:
        return false;
    }
}

}  // namespace

TEST(MessageTypeTest, NamesEveryKindAndNothingElse) {
    struct Row {
        std::int32_t value;
        const char* name;
    };
    const Row rows[] = {
        {0, "UNSET"},
        {1, "INVALID_PROTOCOL"},
        {2, "BAD_REQUEST"},
        {3, "CONNECT"},
        {4, "CONNECTED"},
        {5, "INVALID_CONFIG"},
        {6, "INVALID_BARCODE_KIT"},
        {7, "INVALID_ALIGNER_OPTIONS"},
        {8, "INVALID_INDEX"},
        {9, "INVALID_BED"},
        {10, "DISCONNECT"},
        {11, "DISCONNECTED"},
        {12, "TERMINATE"},
        {13, "SHUTTING_DOWN"},
        {14, "GET_STATISTICS"},
        {15, "RETURN_STATISTICS"},
        {16, "LOAD_CONFIG"},
        {17, "GET_CONFIGS"},
        {18, "RETURN_CONFIGS"},
        {19, "LOAD_INDEX"},
        {20, "GET_INDICES"},
        {21, "LOAD_BED"},
        {22, "PASS_FIRST_RAW_BLOCK"},
        {23, "NOT_READY"},
        {24, "PASS_NEXT_RAW_BLOCK"},
        {25, "PASS_READ_BATCH"},
        {26, "CLIENT_NOT_RECOGNISED"},
        {27, "RAW_BLOCK_ACCEPTED"},
        {28, "BATCH_ACCEPTED"},
        {29, "GET_FIRST_CALLED_BLOCK"},
        {30, "RETURN_FIRST_CALLED_BLOCK"},
        {31, "NONE_PENDING"},
        {32, "GET_NEXT_CALLED_BLOCK"},
        {33, "RETURN_NEXT_CALLED_BLOCK"},
        {34, "RETURN_COMPLETED_BATCH"},
        {35, "GET_BARCODE_KITS"},
        {36, "HEARTBEAT_PING"},
        {37, "HEARTBEAT_ECHO"},
        {38, "QUERY"},
        {39, "RESPONSE"},
        {40, "LOADING"},
        {41, "SUCCESS"},
        {42, "REQUEST_FAILED"},
        {43, "NO_MORE_DATA"},
        {44, "<unknown>"},
        {-1, "<unknown>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_STREQ(ipc_tools::to_string(static_cast<MessageType>(row.value)), row.name);
    }
}

TEST(MessageTest, SimpleDisconnectLeavesDefaultsOffTheWire) {
    const Message message(MessageType::DISCONNECT, "abc", 0, "");
    EXPECT_EQ(message.get_type(), MessageType::DISCONNECT);

    const auto& envelope = message.get_message_data();
    ASSERT_NE(envelope.version(), nullptr);
    EXPECT_EQ(envelope.version()->major(), 26);
    EXPECT_EQ(envelope.version()->minor(), 0);
    EXPECT_EQ(envelope.version()->patch(), 0);
    ASSERT_NE(envelope.client_id(), nullptr);
    EXPECT_EQ(envelope.client_id()->str(), "abc");
    EXPECT_EQ(envelope.data_type(), wire::MessageData::Request);
    const auto* request = envelope.data_as_Request();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->type(), wire::RequestType::DISCONNECT);
    EXPECT_FALSE(has_field(request, wire::Request::VT_VALUE));
    EXPECT_FALSE(has_field(request, wire::Request::VT_TEXT));
    EXPECT_EQ(ipc_tools::classify(envelope), MessageType::DISCONNECT);
}

TEST(MessageTest, KindsOfTypeZeroAreAbsentOnTheWireAndStillClassify) {
    for (const auto type : {MessageType::CONNECT, MessageType::CONNECTED}) {
        SCOPED_TRACE(ipc_tools::to_string(type));
        const Message message(type, "", 0, "");
        const auto& envelope = message.get_message_data();
        EXPECT_EQ(envelope.client_id(), nullptr);
        const auto* body = envelope.data_as_Request()
                               ? reinterpret_cast<const flatbuffers::Table*>(envelope.data_as_Request())
                               : reinterpret_cast<const flatbuffers::Table*>(envelope.data_as_Reply());
        ASSERT_NE(body, nullptr);
        EXPECT_FALSE(body->CheckField(wire::Request::VT_TYPE));
        EXPECT_EQ(receive_copy_of(message).get_type(), type);
    }
}

TEST(MessageTest, SimpleConstructorRoundTripsEveryControlKindAndRefusesTheRest) {
    for (const auto type : all_kinds) {
        SCOPED_TRACE(ipc_tools::to_string(type));
        if (carries_a_body(type)) {
            try {
                Message message(type, "id", 1, "text");
                ADD_FAILURE() << "no exception";
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "Invalid MessageType for simple message constructor.");
            }
            continue;
        }
        const Message received = receive_copy_of(Message(type, "client-9", -7, "some text"));
        EXPECT_EQ(received.get_type(), type);
        const auto& envelope = received.get_message_data();
        EXPECT_EQ(envelope.client_id()->str(), "client-9");
        if (const auto* request = envelope.data_as_Request()) {
            EXPECT_EQ(request->value(), -7);
            EXPECT_EQ(request->text()->str(), "some text");
        } else {
            const auto* reply = envelope.data_as_Reply();
            ASSERT_NE(reply, nullptr);
            EXPECT_EQ(reply->value(), -7);
            EXPECT_EQ(reply->text()->str(), "some text");
        }
    }
    for (const std::int32_t outside : {44, -1, 1000}) {
        SCOPED_TRACE(outside);
        EXPECT_THROW(Message(static_cast<MessageType>(outside), "", 0, ""), std::runtime_error);
    }
}

TEST(MessageTest, QueryCarriesItsCodeAndNoClientId) {
    const Message received = receive_copy_of(Message(ipc_tools::QueryCode::internal_state));
    EXPECT_EQ(received.get_type(), MessageType::QUERY);
    const auto& envelope = received.get_message_data();
    EXPECT_EQ(envelope.client_id(), nullptr);
    EXPECT_EQ(envelope.data_as_Request()->value(), 1);
    EXPECT_EQ(envelope.data_as_Request()->text(), nullptr);
}

TEST(MessageDeathTest, UndefinedQueryCodeIsAContractViolation) {
    EXPECT_DEATH(Message(ipc_tools::QueryCode::undefined),
                 "The query code for a QUERY request message may not be undefined.*\n.*"
                 "\"query_code != QueryCode::undefined\"");
}

TEST(MessageTest, ClassifiesBuffersByMemberAndType) {
    struct Row {
        const char* what;
        std::vector<std::uint8_t> bytes;
        MessageType expected;
    };
    std::vector<Row> rows;
    rows.push_back({"request type 14", control_buffer(wire::MessageData::Request, 14), MessageType::NO_MORE_DATA});
    rows.push_back({"request type 15", control_buffer(wire::MessageData::Request, 15), MessageType::UNSET});
    rows.push_back({"request type -1", control_buffer(wire::MessageData::Request, -1), MessageType::UNSET});
    rows.push_back({"reply type 18", control_buffer(wire::MessageData::Reply, 18),
                    MessageType::INVALID_ALIGNER_OPTIONS});
    rows.push_back({"reply type 19", control_buffer(wire::MessageData::Reply, 19), MessageType::UNSET});
    // Each kind of a read block or batch against the type it classifies as,
    // and back: kind_of gives the kind of each known type.
    const auto add_kinds = [&rows](const char* what, wire::MessageData member, const auto& kinds, auto create,
                                   auto kind_of) {
        for (const auto& [kind, expected] : kinds) {
            rows.push_back({what, envelope_of(member, [&](auto& b) { return create(b, kind).Union(); }), expected});
            if (expected != MessageType::UNSET) {
                EXPECT_EQ(kind_of(expected), kind) << ipc_tools::to_string(expected);
            }
        }
        EXPECT_EQ(kind_of(MessageType::HEARTBEAT_PING), std::nullopt) << what;
        EXPECT_EQ(kind_of(MessageType::UNSET), std::nullopt) << what;
    };
    const std::pair<wire::BlockKind, MessageType> blocks[] = {
        {wire::BlockKind::FIRST_RAW_BLOCK, MessageType::PASS_FIRST_RAW_BLOCK},
        {wire::BlockKind::NEXT_RAW_BLOCK, MessageType::PASS_NEXT_RAW_BLOCK},
        {wire::BlockKind::FIRST_CALLED_BLOCK, MessageType::RETURN_FIRST_CALLED_BLOCK},
        {wire::BlockKind::NEXT_CALLED_BLOCK, MessageType::RETURN_NEXT_CALLED_BLOCK},
        {static_cast<wire::BlockKind>(4), MessageType::UNSET},
    };
    add_kinds("read block", wire::MessageData::ReadBlock, blocks,
              [](auto& b, wire::BlockKind kind) { return wire::CreateReadBlock(b, kind); }, ipc_tools::block_kind_of);
    const std::pair<wire::BatchKind, MessageType> batches[] = {
        {wire::BatchKind::READ_BATCH, MessageType::PASS_READ_BATCH},
        {wire::BatchKind::COMPLETED_BATCH, MessageType::RETURN_COMPLETED_BATCH},
        {static_cast<wire::BatchKind>(2), MessageType::UNSET},
    };
    add_kinds("read batch", wire::MessageData::ReadBatch, batches,
              [](auto& b, wire::BatchKind kind) { return wire::CreateReadBatch(b, kind); }, ipc_tools::batch_kind_of);
    rows.push_back({"config list",
                    envelope_of(wire::MessageData::ConfigList, [](auto& b) { return wire::CreateConfigList(b).Union(); }),
                    MessageType::RETURN_CONFIGS});
    rows.push_back({"statistics",
                    envelope_of(wire::MessageData::Statistics, [](auto& b) { return wire::CreateStatistics(b, 5).Union(); }),
                    MessageType::RETURN_STATISTICS});
    rows.push_back({"no data",
                    envelope_of(wire::MessageData::NONE, [](auto&) { return flatbuffers::Offset<void>(0); }, "x"),
                    MessageType::UNSET});
    // A union tag beyond the known members: the verifier lets it pass.
    rows.push_back({"unknown member",
                    envelope_of(static_cast<wire::MessageData>(7), [](auto& b) { return wire::CreateReply(b).Union(); }),
                    MessageType::UNSET});

    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SCOPED_TRACE(ipc_tools::to_string(row.expected));
        const Message received(frame_of(row.bytes));
        EXPECT_EQ(received.get_type(), row.expected);
        EXPECT_FALSE(received.empty());
    }
}

TEST(MessageTest, RefusesFramesItCannotRead) {
    // A valid buffer to cut and corrupt.
    Message valid(MessageType::LOAD_CONFIG, "", 0, "a configuration name");
    zmq::message_t valid_frame;
    valid.release_into(valid_frame);
    const std::vector<std::uint8_t> good(valid_frame.data<std::uint8_t>(),
                                         valid_frame.data<std::uint8_t>() + valid_frame.size());

    struct Row {
        const char* what;
        std::vector<std::uint8_t> bytes;
        MessageType expected;  // UNSET with throws == true means: must throw
        bool throws;
    };
    std::vector<std::uint8_t> foreign(good);
    std::memcpy(foreign.data() + 4, "0025", 4);
    std::vector<std::uint8_t> root_past_end = {0xF0, 0, 0, 0, '0', '0', '2', '6'};
    std::vector<std::uint8_t> truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() - 6));
    std::vector<std::uint8_t> bad_vtable(good);
    // The root table's first word is its signed offset to the vtable.
    const auto root = static_cast<std::size_t>(good[0]);
    bad_vtable[root] = 0x7F;
    bad_vtable[root + 3] = 0x7F;

    const Row rows[] = {
        {"empty frame", {}, MessageType::UNSET, false},
        {"seven bytes", {0, 0, 0, 0, '0', '0', '2'}, MessageType::UNSET, false},
        {"eight bytes of another protocol", {8, 0, 0, 0, '0', '0', '2', '5'}, MessageType::INVALID_PROTOCOL, false},
        {"another protocol's identifier", foreign, MessageType::INVALID_PROTOCOL, false},
        {"root past the end", root_past_end, MessageType::UNSET, true},
        {"truncated buffer", truncated, MessageType::UNSET, true},
        {"vtable out of range", bad_vtable, MessageType::UNSET, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.throws) {
            try {
                Message message{frame_of(row.bytes)};
                ADD_FAILURE() << "accepted as " << ipc_tools::to_string(message.get_type());
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "Invalid MessageData in Message.");
            }
            continue;
        }
        const Message message{frame_of(row.bytes)};
        EXPECT_EQ(message.get_type(), row.expected);
        EXPECT_TRUE(message.empty());
        EXPECT_THROW(static_cast<void>(message.get_message_data()), std::runtime_error);
    }
}

TEST(MessageTest, IsEmptyAfterReleaseInto) {
    Message message(MessageType::HEARTBEAT_PING, "0", 0, "");
    zmq::message_t frame;
    message.release_into(frame);
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(message.get_type(), MessageType::UNSET);
    EXPECT_GE(frame.size(), 8U);
    EXPECT_EQ(Message(std::move(frame)).get_type(), MessageType::HEARTBEAT_PING);

    Message empty;
    zmq::message_t outgoing(std::string("stale"));
    empty.release_into(outgoing);
    EXPECT_EQ(outgoing.size(), 0U);
}

TEST(MessageTest, BuilderBufferBecomesTheFrameWithoutACopy) {
    flatbuffers::FlatBufferBuilder builder;
    ipc_tools::finish_envelope(builder, "c", wire::MessageData::Statistics,
                               wire::CreateStatistics(builder, 1, 2, 3, 4).Union());
    const auto* built = builder.GetBufferPointer();
    const auto size = builder.GetSize();

    Message message(builder);
    EXPECT_EQ(message.get_type(), MessageType::RETURN_STATISTICS);
    zmq::message_t frame;
    message.release_into(frame);
    EXPECT_EQ(frame.data<std::uint8_t>(), built);
    EXPECT_EQ(frame.size(), size);
}

TEST(MessageTest, CopyOwnsItsOwnFrame) {
    auto original = std::make_unique<Message>(MessageType::RESPONSE, "", 0, "{\"a\": 1}");
    Message copy(*original);
    original.reset();
    EXPECT_EQ(copy.get_type(), MessageType::RESPONSE);
    EXPECT_EQ(copy.get_message_data().data_as_Reply()->text()->str(), "{\"a\": 1}");

    Message moved(std::move(copy));
    EXPECT_EQ(moved.get_type(), MessageType::RESPONSE);
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(copy.get_type(), MessageType::UNSET);
}

TEST(MessageTest, ASharedMessageSendsTheSameBytesAndLeavesTheOriginalWhole) {
    flatbuffers::FlatBufferBuilder builder;
    ipc_tools::finish_envelope(builder, "c", wire::MessageData::Statistics,
                               wire::CreateStatistics(builder, 1, 2, 3, 4).Union());
    const auto* built = builder.GetBufferPointer();
    const Message original(builder);
    {
        Message shared = original.share();
        EXPECT_EQ(shared.get_type(), MessageType::RETURN_STATISTICS);
        zmq::message_t frame;
        shared.release_into(frame);
        EXPECT_EQ(frame.data<std::uint8_t>(), built);
        EXPECT_TRUE(shared.empty());
    }
    // The sent frame is gone; the original still holds the bytes.
    ASSERT_FALSE(original.empty());
    EXPECT_EQ(original.get_message_data().data_as_Statistics()->lifetime_reads_in(), 1U);
    EXPECT_TRUE(Message().share().empty());
}

TEST(MessageTest, ReadsMisalignedFramesThroughAnAlignedCopy) {
    flatbuffers::FlatBufferBuilder builder;
    const auto clients = builder.CreateVector(std::vector<flatbuffers::Offset<wire::ClientStats>>{
        wire::CreateClientStats(builder, 7, 9)});
    ipc_tools::finish_envelope(
        builder, "", wire::MessageData::Statistics,
        wire::CreateStatistics(builder, 0x1122334455667788ULL, 2, 3, 4, clients).Union());

    // Constant data: ZeroMQ keeps the pointer, so the misalignment survives.
    std::vector<std::uint64_t> storage(builder.GetSize() / 8 + 2);
    auto* misaligned = reinterpret_cast<std::uint8_t*>(storage.data()) + 1;
    std::memcpy(misaligned, builder.GetBufferPointer(), builder.GetSize());
    zmq::message_t frame(misaligned, builder.GetSize(), nullptr, nullptr);
    ASSERT_EQ(frame.data(), misaligned);

    const Message message(std::move(frame));
    EXPECT_EQ(message.get_type(), MessageType::RETURN_STATISTICS);
    const auto& envelope = message.get_message_data();
    const auto* read_at = reinterpret_cast<const std::uint8_t*>(&envelope);
    EXPECT_TRUE(read_at < misaligned || read_at >= misaligned + builder.GetSize()) << "read in place";
    const auto* statistics = envelope.data_as_Statistics();
    ASSERT_NE(statistics, nullptr);
    EXPECT_EQ(statistics->lifetime_reads_in(), 0x1122334455667788ULL);
    EXPECT_EQ(statistics->client_statistics()->Get(0)->output_read_count(), 9U);
    // A second read reuses the copy.
    EXPECT_EQ(&message.get_message_data(), &message.get_message_data());
}

TEST(MessageTest, OpenPoreLevelIsWrittenEvenWhenZero) {
    flatbuffers::FlatBufferBuilder builder;
    wire::ReadBlockBuilder block(builder);
    block.add_open_pore_level(0.0F);
    const auto written = block.Finish();
    ipc_tools::finish_envelope(builder, "", wire::MessageData::ReadBlock, written.Union());
    const Message message(builder);
    const auto* read_block = message.get_message_data().data_as_ReadBlock();
    EXPECT_TRUE(has_field(read_block, wire::ReadBlock::VT_OPEN_PORE_LEVEL));
    EXPECT_EQ(read_block->open_pore_level(), 0.0F);

    flatbuffers::FlatBufferBuilder unset_builder;
    ipc_tools::finish_envelope(unset_builder, "", wire::MessageData::ReadBlock,
                               wire::ReadBlockBuilder(unset_builder).Finish().Union());
    EXPECT_TRUE(std::isnan(Message(unset_builder).get_message_data().data_as_ReadBlock()->open_pore_level()));
}
