// The builders of outgoing read messages start with room for the whole
// message, so that no block or batch is built twice over.

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>
#include <zmq.hpp>

#include "common/read_model/read_holder.h"
#include "common/read_model/sam_text_rules.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/read_block_writer.h"
#include "ipc_tools/read_message_builder.h"
#include "ipc_tools/wire_format.h"
#include "support/raw_reads.h"

namespace {

// Counts what a builder asks of its allocator.
class CountingAllocator : public flatbuffers::Allocator {
public:
    std::uint8_t* allocate(std::size_t size) override {
        ++allocations;
        allocated_bytes += size;
        return new std::uint8_t[size];
    }
    void deallocate(std::uint8_t* p, std::size_t) override { delete[] p; }
    std::uint8_t* reallocate_downward(std::uint8_t* old_p,
                                      std::size_t old_size,
                                      std::size_t new_size,
                                      std::size_t in_use_back,
                                      std::size_t in_use_front) override {
        ++reallocations;
        return flatbuffers::Allocator::reallocate_downward(old_p, old_size, new_size, in_use_back, in_use_front);
    }

    int allocations = 0;
    int reallocations = 0;
    std::size_t allocated_bytes = 0;
};

// Hands out buffers filled with one byte value and starting on a cache
// line, so that two builds of the same reads lay out alike and differ only
// in bytes the builder leaves unwritten.
class FillingAllocator : public flatbuffers::Allocator {
public:
    explicit FillingAllocator(std::uint8_t fill) : m_fill(fill) {}
    std::uint8_t* allocate(std::size_t size) override {
        auto* p = static_cast<std::uint8_t*>(::operator new(size, std::align_val_t{64}));
        std::memset(p, m_fill, size);
        return p;
    }
    void deallocate(std::uint8_t* p, std::size_t) override { ::operator delete(p, std::align_val_t{64}); }

private:
    std::uint8_t m_fill;
};

std::vector<std::uint8_t> bytes_of(ipc_tools::Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    const auto* data = static_cast<const std::uint8_t*>(frame.data());
    return std::vector<std::uint8_t>(data, data + frame.size());
}

struct Texts {
    std::size_t read_id;
    std::size_t strand_id;
    std::size_t run_id;  // with channel and mux, so that pairing is written
    std::size_t kit;     // also the flow cell code and end reason
};

common::ReadHolder read_with(std::uint64_t tag, std::uint64_t samples, const Texts& texts) {
    common::ReadHolder read = test_support::raw_read(tag, samples);
    interfaces::ReadMetadata& metadata = *read.metadata;
    metadata.read_id = std::string(texts.read_id, 'r');
    metadata.strand_id = std::string(texts.strand_id, 's');
    if (texts.run_id != 0) {
        metadata.channel = 512;
        metadata.mux = 4;
        metadata.run_id = std::string(texts.run_id, 'u');
    }
    metadata.sequencing_kit = std::string(texts.kit, 'k');
    metadata.flow_cell_product_code = std::string(texts.kit + 1, 'f');
    metadata.end_reason = std::string(texts.kit + 2, 'e');
    metadata.start_time = 0xFFFFFFFFFFFFull;
    metadata.num_keldrow_events = 0xFFFFFFFFFFull;
    metadata.open_pore_level = 1.0f;
    return read;
}

// Every text length modulo four, empty and long texts, with and without
// pairing, odd and even sample counts.
const std::vector<Texts> text_cases = {
    {0, 0, 0, 0},    {1, 1, 1, 1},       {2, 3, 5, 6},       {3, 2, 7, 0},
    {36, 36, 8, 10}, {255, 254, 253, 252}, {1000, 0, 0, 999}, {37, 38, 39, 40},
    {3, 3, 3, 3},    {7, 11, 15, 1},     {4, 8, 12, 2},      {5, 9, 13, 4},
};
const std::vector<std::uint64_t> sample_cases = {1, 2, 3, 100, 4001, 255999, 256000};
const std::vector<std::string> connection_ids = {"", "c", "cc", "client-uid-0001", std::string(301, 'i')};

// The least builder room in which the block or batch that `build` makes is
// finished without regrowing.
template <class Build>
std::size_t least_room(std::size_t upper, const Build& build) {
    std::size_t low = 1;
    while (low < upper) {
        const std::size_t mid = low + (upper - low) / 2;
        CountingAllocator allocator;
        {
            ipc_tools::ReadMessageBuilder builder(mid, &allocator);
            build(builder);
        }
        if (allocator.reallocations == 0) {
            upper = mid;
        } else {
            low = mid + 1;
        }
    }
    return low;
}

// The builders' room is never too small, and little more than the least
// that works: the sizing rounds every text up to its largest padding, and
// counts the most that placing a block's samples may take (a gap word and
// up to 63 bytes of padding), which depends on where the samples lie.
constexpr std::size_t allowed_block_slack = 96 + 4 + 63;

// Builds the message of reads (one raw block of a single read, or a batch)
// through the library and again in builders of every size: the
// library's builder never regrows, and its room is at most
// allowed_block_slack per block above the least that works.
void expect_least_room(const std::vector<common::ReadHolder>& reads, const std::string& connection_id, bool batch) {
    CountingAllocator allocator;
    std::size_t room = 0;
    if (batch) {
        const ipc_tools::Message message =
            ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), connection_id, &allocator);
        std::vector<const common::ReadHolder*> pointers;
        for (const common::ReadHolder& read : reads) {
            pointers.push_back(&read);
        }
        room = ipc_tools::read_batch_builder_size(pointers, connection_id);
    } else {
        const auto messages = ipc_tools::make_raw_block_messages(reads.front(), connection_id, 256000, &allocator);
        ASSERT_EQ(messages.size(), 1u);
        room = ipc_tools::raw_block_builder_size(reads.front(), reads.front().metadata->duration, connection_id);
    }
    EXPECT_EQ(allocator.reallocations, 0);
    EXPECT_EQ(allocator.allocations, 1);

    const std::size_t least = least_room(2 * room, [&](ipc_tools::ReadMessageBuilder& builder) {
        // A writer given no room takes what each block needs as it goes.
        ipc_tools::ReadBlockWriter writer(builder, 0);
        std::vector<flatbuffers::Offset<ipc_tools::wire::ReadBlock>> blocks;
        for (const common::ReadHolder& read : reads) {
            blocks.push_back(writer.write(read, 0, read.metadata->duration, 0, 1));
        }
        writer.finish();
        if (batch) {
            const auto body = ipc_tools::wire::CreateReadBatch(builder, ipc_tools::wire::BatchKind::READ_BATCH,
                                                               builder.CreateVector(blocks));
            ipc_tools::finish_envelope(builder, connection_id, ipc_tools::wire::MessageData::ReadBatch, body.Union());
        } else {
            ipc_tools::finish_envelope(builder, connection_id, ipc_tools::wire::MessageData::ReadBlock,
                                       blocks.front().Union());
        }
    });
    EXPECT_GE(room, least);
    EXPECT_LE(room, least + allowed_block_slack * reads.size());
}

TEST(MessageBuilderSizeTest, BlocksAndBatchesAreBuiltWithoutRegrowingInLittleMoreThanTheLeastRoom) {
    for (const std::string& connection_id : connection_ids) {
        for (const Texts& texts : text_cases) {
            SCOPED_TRACE(testing::Message() << "id " << connection_id.size() << " texts " << texts.read_id << "/"
                                            << texts.strand_id << "/" << texts.run_id << "/" << texts.kit);
            for (const std::uint64_t samples : sample_cases) {
                SCOPED_TRACE(testing::Message() << "one read of " << samples);
                std::vector<common::ReadHolder> reads;
                reads.push_back(read_with(7, samples, texts));
                expect_least_room(reads, connection_id, false);
            }
            for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{64}}) {
                SCOPED_TRACE(testing::Message() << "batch of " << count);
                std::vector<common::ReadHolder> reads;
                for (std::size_t i = 0; i < count; ++i) {
                    // Texts differing between reads, so that none is shared.
                    Texts own = texts;
                    own.read_id += i;
                    own.kit += i;
                    own.run_id += own.run_id != 0 ? i : 0;
                    reads.push_back(read_with(i + 1, 101 + 3 * i, own));
                }
                expect_least_room(reads, connection_id, true);
            }
        }
    }
}

// Blocks of every set of optional fields in one batch: each set brings its
// own vtable, which the room counts, and each block keeps its own fields.
// The reads carry the longest read id the read check lets through, their
// strand named after the read (so written as the read id's text, not
// twice) or not, and texts shared between reads or not.
TEST(MessageBuilderSizeTest, BatchOfEveryOptionalFieldSetIsBuiltWithoutRegrowing) {
    const std::string longest_id(common::max_read_name_length, 'r');
    std::vector<common::ReadHolder> reads;
    for (unsigned shape = 0; shape < 32; ++shape) {
        common::ReadHolder read = read_with(shape + 1, 50 + shape, Texts{0, 0, 0, 0});
        interfaces::ReadMetadata& metadata = *read.metadata;
        metadata.read_id = longest_id;
        metadata.read_id.back() = static_cast<char>('a' + shape % 26);
        metadata.strand_id = (shape & 16) != 0 ? metadata.read_id : std::string(shape, 's');
        if ((shape & 1) != 0) {
            metadata.channel = 7;
            metadata.mux = 2;
            metadata.run_id = std::string(40, (shape & 2) != 0 ? 'u' : 'v');
        }
        metadata.sequencing_kit = (shape & 2) != 0 ? "kit-one" : "";
        metadata.flow_cell_product_code = (shape & 4) != 0 ? std::string(17 + shape, 'f') : "";
        metadata.end_reason = (shape & 8) != 0 ? "signal_positive" : "";
        std::string problem;
        ASSERT_TRUE(common::validate_read_holder(read, problem, false)) << problem;
        reads.push_back(std::move(read));
    }
    expect_least_room(reads, "client-uid-0001", true);

    const ipc_tools::Message sent =
        ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), "client-uid-0001");
    zmq::message_t frame;
    ipc_tools::Message(sent).release_into(frame);
    // As the server gets it: the bytes in a fresh frame, verified.
    const ipc_tools::Message received(zmq::message_t(frame.data(), frame.size()));
    ASSERT_EQ(received.get_type(), ipc_tools::MessageType::PASS_READ_BATCH);
    const auto* blocks = received.get_message_data().data_as_ReadBatch()->blocks();
    ASSERT_EQ(blocks->size(), reads.size());
    for (unsigned shape = 0; shape < 32; ++shape) {
        SCOPED_TRACE(testing::Message() << "fields " << shape);
        const ipc_tools::wire::ReadBlock* block = blocks->Get(shape);
        const interfaces::ReadMetadata& metadata = *reads[shape].metadata;
        EXPECT_EQ(block->read_tag(), shape + 1);
        EXPECT_EQ(block->read_id()->str(), metadata.read_id);
        EXPECT_EQ(block->strand_id()->str(), metadata.strand_id);
        EXPECT_EQ(block->strand_id() == block->read_id(), (shape & 16) != 0);
        ASSERT_EQ(block->pairing() != nullptr, (shape & 1) != 0);
        if (block->pairing() != nullptr) {
            EXPECT_EQ(block->pairing()->run_id()->str(), metadata.run_id);
            EXPECT_EQ(block->pairing()->channel(), 7);
            EXPECT_EQ(block->pairing()->mux(), 2);
        }
        EXPECT_EQ(block->sequencing_kit() != nullptr, (shape & 2) != 0);
        EXPECT_EQ(block->flow_cell_product_code() != nullptr, (shape & 4) != 0);
        EXPECT_EQ(block->end_reason() != nullptr, (shape & 8) != 0);
        ASSERT_EQ(block->samples()->size(), 50 + shape);
        EXPECT_EQ(block->samples()->Get(49 + shape), static_cast<std::int16_t>(49 + shape));
    }
}

// A writer short of room takes more as it goes, so the builder moves its
// buffer while blocks wait for their samples: a batch written that way
// still carries every read's own fields and samples, shared texts and all.
TEST(MessageBuilderSizeTest, BatchWrittenWithoutRoomCarriesEveryReadAfterTheBufferMoves) {
    std::vector<common::ReadHolder> reads;
    std::vector<const common::ReadHolder*> pointers;
    for (std::size_t i = 0; i < 40; ++i) {
        Texts texts = text_cases[i % text_cases.size()];
        texts.kit = i < 20 ? 3 : 5;  // two runs of shared kits, flow cell codes and end reasons
        reads.push_back(read_with(i + 1, 1 + 97 * i, texts));
    }
    for (const common::ReadHolder& read : reads) {
        pointers.push_back(&read);
    }
    CountingAllocator allocator;
    ipc_tools::ReadMessageBuilder builder(64, &allocator);
    ipc_tools::ReadBlockWriter writer(builder, 0);
    std::vector<flatbuffers::Offset<ipc_tools::wire::ReadBlock>> blocks(reads.size());
    writer.write_reads(pointers, blocks.data());
    writer.finish();
    const auto body = ipc_tools::wire::CreateReadBatch(builder, ipc_tools::wire::BatchKind::READ_BATCH,
                                                       builder.CreateVector(blocks));
    ipc_tools::finish_envelope(builder, "c", ipc_tools::wire::MessageData::ReadBatch, body.Union());
    EXPECT_GT(allocator.reallocations, 1);

    // As the server gets it: verified afresh.
    const std::vector<std::uint8_t> bytes = bytes_of(ipc_tools::Message(builder));
    const ipc_tools::Message received(zmq::message_t(bytes.data(), bytes.size()));
    ASSERT_EQ(received.get_type(), ipc_tools::MessageType::PASS_READ_BATCH);
    const auto* sent = received.get_message_data().data_as_ReadBatch()->blocks();
    ASSERT_EQ(sent->size(), reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "read " << i);
        const ipc_tools::wire::ReadBlock* block = sent->Get(static_cast<flatbuffers::uoffset_t>(i));
        const interfaces::ReadMetadata& metadata = *reads[i].metadata;
        EXPECT_EQ(block->read_tag(), i + 1);
        EXPECT_EQ(block->read_id()->str(), metadata.read_id);
        EXPECT_EQ(block->sequencing_kit()->str(), metadata.sequencing_kit);
        EXPECT_EQ(block->end_reason()->str(), metadata.end_reason);
        EXPECT_EQ(block->pairing() != nullptr, !metadata.run_id.empty());
        const auto signal = reads[i].datasets.at(vesk::data_wrappers::v2::raw_data).view<std::int16_t>();
        ASSERT_EQ(block->samples()->size(), signal.size());
        EXPECT_EQ(std::memcmp(block->samples()->data(), signal.data(), signal.size() * sizeof(std::int16_t)), 0);
    }
}

// A block's samples sit at their source's offset within a cache line where
// the source is on 4 bytes (any short read; blocks starting at an even
// sample), and every byte the placement leaves between the parts is
// written: two builds into buffers of different filling are the same bytes.
TEST(MessageBuilderSizeTest, SamplesTakeTheirSourcesPlaceInACacheLineAndNoByteIsLeftUnwritten) {
    const auto offset_in_line = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 64; };
    FillingAllocator zeros(0x00);
    FillingAllocator ones(0xFF);

    std::vector<common::ReadHolder> reads;
    for (std::size_t i = 0; i < 64; ++i) {
        Texts texts = text_cases[i % text_cases.size()];
        texts.read_id += i / text_cases.size();
        reads.push_back(read_with(i + 1, 1 + 37 * i, texts));
    }
    const std::span<const common::ReadHolder> batch(reads);
    EXPECT_EQ(bytes_of(ipc_tools::make_read_batch_message(batch, "client-uid-0001", &zeros)),
              bytes_of(ipc_tools::make_read_batch_message(batch, "client-uid-0001", &ones)));
    const ipc_tools::Message sent = ipc_tools::make_read_batch_message(batch, "client-uid-0001", &zeros);
    const auto* blocks = sent.get_message_data().data_as_ReadBatch()->blocks();
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const std::int16_t* source = reads[i].datasets.at(vesk::data_wrappers::v2::raw_data).view<std::int16_t>().data();
        EXPECT_EQ(offset_in_line(blocks->Get(static_cast<flatbuffers::uoffset_t>(i))->samples()->data()),
                  offset_in_line(source))
            << "read " << i;
    }

    // Blocks of 37 samples start at every even offset in a cache line.
    const common::ReadHolder long_read = read_with(99, 37 * 64, text_cases[4]);
    const std::int16_t* signal = long_read.datasets.at(vesk::data_wrappers::v2::raw_data).view<std::int16_t>().data();
    std::vector<ipc_tools::Message> first = ipc_tools::make_raw_block_messages(long_read, "c", 37, &zeros);
    std::vector<ipc_tools::Message> second = ipc_tools::make_raw_block_messages(long_read, "c", 37, &ones);
    ASSERT_EQ(first.size(), 64u);
    ASSERT_EQ(second.size(), 64u);
    for (std::size_t i = 0; i < first.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "block " << i);
        const ipc_tools::wire::ReadBlock* block = first[i].get_message_data().data_as_ReadBlock();
        ASSERT_NE(block, nullptr);
        ASSERT_EQ(block->samples()->size(), 37u);
        EXPECT_EQ(block->samples()->Get(0), signal[37 * i]);
        if (offset_in_line(signal + 37 * i) % 4 == 0) {
            EXPECT_EQ(offset_in_line(block->samples()->data()), offset_in_line(signal + 37 * i));
        }
        // As the server gets them: verified afresh.
        const std::vector<std::uint8_t> bytes = bytes_of(std::move(first[i]));
        EXPECT_EQ(bytes, bytes_of(std::move(second[i])));
        EXPECT_EQ(ipc_tools::Message(zmq::message_t(bytes.data(), bytes.size())).get_type(),
                  i == 0 ? ipc_tools::MessageType::PASS_FIRST_RAW_BLOCK : ipc_tools::MessageType::PASS_NEXT_RAW_BLOCK);
    }
}

}  // namespace
