#include "reference_server/data_plane/read_assembler.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/wire_format.h"
#include "reference_server/hostile_blocks.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using ipc_tools::Message;
using reference_server::ReadAssembler;

common::ReadHolder make_read(std::uint64_t read_tag, std::size_t n) {
    common::ReadHolder read;
    read.read_tag = read_tag;
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::vector<std::int16_t>(n, 7)));
    read.metadata->read_id = "read-" + std::to_string(read_tag);
    read.metadata->duration = n;
    return read;
}

Message receive(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return Message(zmq::message_t(frame.data(), frame.size()));
}

std::vector<Message> blocks_of(const common::ReadHolder& read, std::uint64_t block_size) {
    std::vector<Message> received;
    for (Message& message : ipc_tools::make_raw_block_messages(read, "c", block_size)) {
        received.push_back(receive(std::move(message)));
    }
    return received;
}

TEST(ReadAssemblerTest, KeepsInterleavedReadsApart) {
    const common::ReadHolder first = make_read(1, 25);
    const common::ReadHolder second = make_read(2, 15);
    std::vector<Message> a = blocks_of(first, 10);
    std::vector<Message> b = blocks_of(second, 10);
    ReadAssembler assembler;
    EXPECT_TRUE(assembler.add(a[0]).accepted);
    EXPECT_TRUE(assembler.add(b[0]).accepted);
    EXPECT_TRUE(assembler.add(a[1]).accepted);
    EXPECT_EQ(assembler.partial_count(), 2u);
    ReadAssembler::Outcome done_b = assembler.add(b[1]);
    ASSERT_EQ(done_b.completed.size(), 1u);
    EXPECT_EQ(done_b.completed[0].read_tag, 2u);
    EXPECT_EQ(done_b.completed[0].samples.size(), 15u);
    ReadAssembler::Outcome done_a = assembler.add(a[2]);
    ASSERT_EQ(done_a.completed.size(), 1u);
    EXPECT_EQ(done_a.completed[0].samples.size(), 25u);
    EXPECT_EQ(assembler.partial_count(), 0u);
}

TEST(ReadAssemblerTest, RefusesBlocksOutOfOrder) {
    const common::ReadHolder read = make_read(3, 30);
    struct Row {
        const char* name;
        std::vector<std::size_t> order;  // indices into the read's blocks
        std::size_t refused_at;
    };
    const Row rows[] = {
        {"next block before the first", {1}, 0},
        {"block skipped", {0, 2}, 1},
        {"block repeated", {0, 1, 1}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Message> blocks = blocks_of(read, 10);
        ReadAssembler assembler;
        for (std::size_t i = 0; i < row.order.size(); ++i) {
            ReadAssembler::Outcome outcome = assembler.add(blocks[row.order[i]]);
            EXPECT_EQ(outcome.accepted, i != row.refused_at);
            EXPECT_TRUE(outcome.completed.empty());
            if (i == row.refused_at) {
                EXPECT_FALSE(outcome.error.empty());
            }
        }
        // The broken read is dropped whole.
        EXPECT_EQ(assembler.partial_count(), 0u);
    }
}

TEST(ReadAssemblerTest, StartsAReadAfreshWhenItsFirstBlockComesAgain) {
    const common::ReadHolder read = make_read(4, 20);
    std::vector<Message> blocks = blocks_of(read, 10);
    std::vector<Message> resent = blocks_of(read, 10);
    ReadAssembler assembler;
    EXPECT_TRUE(assembler.add(blocks[0]).accepted);
    EXPECT_TRUE(assembler.add(resent[0]).accepted);
    ReadAssembler::Outcome outcome = assembler.add(resent[1]);
    ASSERT_EQ(outcome.completed.size(), 1u);
    EXPECT_EQ(outcome.completed[0].samples.size(), 20u);
}

TEST(ReadAssemblerTest, RefusesReadsWhoseSamplesMissTheirDuration) {
    // A client could send a duration that its samples do not make up.
    Message block =
        test_support::block_message("c", {.tag = 1, .duration = 6, .samples = test_support::level_samples(5, 1)});
    ReadAssembler assembler;
    ReadAssembler::Outcome outcome = assembler.add(receive(std::move(block)));
    EXPECT_FALSE(outcome.accepted);
    EXPECT_NE(outcome.error.find("5 samples for a duration of 6"), std::string::npos) << outcome.error;

    EXPECT_FALSE(assembler.add(receive(Message(ipc_tools::MessageType::HEARTBEAT_PING, "c", 0, ""))).accepted);
}

}  // namespace

namespace {

common::ReadHolder ramp_read(std::uint64_t read_tag, std::size_t n) {
    std::vector<std::int16_t> samples(n);
    for (std::size_t i = 0; i < n; ++i) {
        samples[i] = static_cast<std::int16_t>(read_tag * 1000 + i);
    }
    common::ReadHolder read = make_read(read_tag, n);
    read.datasets[dw::raw_data] = dw::DataSetData(std::move(samples));
    return read;
}

std::vector<std::int16_t> samples_of(const common::ReadHolder& read) {
    const auto view = read.datasets.at(dw::raw_data).view<std::int16_t>();
    return std::vector<std::int16_t>(view.data(), view.data() + view.size());
}

std::vector<std::int16_t> signal_of(const reference_server::ReceivedRead& read) {
    return std::vector<std::int16_t>(read.signal().begin(), read.signal().end());
}

}  // namespace

TEST(ReadAssemblerTest, HandsOverEveryReadsSamplesExactly) {
    // Whole reads are read in place from the frame, reads in blocks are put
    // together: either way the caller must see the samples the client sent.
    const common::ReadHolder first = ramp_read(1, 23);
    const common::ReadHolder second = ramp_read(2, 17);
    {
        SCOPED_TRACE("batch of two");
        std::vector<common::ReadHolder> reads;
        reads.push_back(ramp_read(1, 23));
        reads.push_back(ramp_read(2, 17));
        const Message batch = receive(ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), "c"));
        ReadAssembler assembler;
        const ReadAssembler::Outcome outcome = assembler.add(batch);
        ASSERT_EQ(outcome.completed.size(), 2u);
        EXPECT_EQ(signal_of(outcome.completed[0]), samples_of(first));
        EXPECT_EQ(signal_of(outcome.completed[1]), samples_of(second));
    }
    for (const std::uint64_t block_size : {23u, 10u, 1u}) {
        SCOPED_TRACE("blocks of " + std::to_string(block_size));
        const std::vector<Message> blocks = blocks_of(first, block_size);
        ReadAssembler assembler;
        for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
            EXPECT_TRUE(assembler.add(blocks[i]).completed.empty());
        }
        const ReadAssembler::Outcome outcome = assembler.add(blocks.back());
        ASSERT_EQ(outcome.completed.size(), 1u);
        EXPECT_EQ(signal_of(outcome.completed[0]), samples_of(first));
    }
}
