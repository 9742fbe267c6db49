#include "ipc_tools/fbbuilder_read_helper.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "common/read_model/align_results_table.h"
#include "ipc_tools/wire_format.h"
#include "reference_server/data_plane/called_result.h"
#include "reference_server/data_plane/read_assembler.h"
#include "support/expect_error.h"
#include "support/raw_reads.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
namespace wire = ipc_tools::wire;
using ipc_tools::DecodeFailure;
using ipc_tools::Message;
using ipc_tools::MessageType;
using reference_server::CalledResult;

// A read as an application passes it in, with n samples 0, 1, 2, ... and
// the metadata the wire carries beside the read check's.
common::ReadHolder make_read(std::uint64_t read_tag, std::size_t n) {
    common::ReadHolder read = test_support::raw_read(read_tag, n);
    interfaces::ReadMetadata& metadata = *read.metadata;
    metadata.num_keldrow_events = 17;
    metadata.sequencing_kit = "kit-1";
    metadata.flow_cell_product_code = "fc-9";
    metadata.end_reason = "signal_positive";
    return read;
}

// What the other end of the socket gets: the bytes in a fresh frame, verified.
Message receive(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return Message(zmq::message_t(frame.data(), frame.size()));
}

const wire::ReadBlock& block_of(const Message& message) {
    return *message.get_message_data().data_as_ReadBlock();
}

template <class T>
bool has_field(const T* table, flatbuffers::voffset_t field) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

// A continuation step over replies already received.
struct Continuation {
    std::vector<Message> replies;
    std::size_t next = 0;

    ipc_tools::NextCalledBlock step() {
        return [this]() -> const wire::ReadBlock* {
            if (next == replies.size()) {
                return nullptr;
            }
            return &block_of(replies[next++]);
        };
    }
};

ipc_tools::DecodeResult decode(common::ReadHolder& target, const CalledResult& result, std::uint32_t max_bases) {
    std::vector<Message> replies = reference_server::make_called_block_replies(result, "client-7", max_bases);
    Message first = receive(std::move(replies.front()));
    EXPECT_EQ(first.get_type(), MessageType::RETURN_FIRST_CALLED_BLOCK);
    Continuation continuation;
    for (std::size_t i = 1; i < replies.size(); ++i) {
        continuation.replies.push_back(receive(std::move(replies[i])));
        EXPECT_EQ(continuation.replies.back().get_type(), MessageType::RETURN_NEXT_CALLED_BLOCK);
    }
    return ipc_tools::decode_called_block(target, block_of(first), continuation.step());
}

// A result exercising every part of the called read.
CalledResult full_result(std::uint32_t read_tag) {
    CalledResult result;
    result.read_tag = read_tag;
    result.strand_id = "strand-" + std::to_string(read_tag);
    result.duration = 8000;
    result.start_time = 5000;
    result.num_keldrow_events = 99;
    result.split_point = 1234;
    result.duplex_strands = {{"parent-a", "parent-b"}};
    result.is_duplex_parent = true;
    result.sequence = "ACGTACGTACGTACGTACGTACGTA";
    result.qstring = "0123456789:;<=>?@ABCDEFGH";
    result.moves = std::vector<std::uint8_t>{1, 0, 1, 1, 0, 0, 1, 1, 1, 0, 1};
    result.mean_qscore = 12.5f;
    result.median = 80.0f;
    result.med_abs_dev = 7.5f;
    result.model_stride = 6;
    result.trimmed_samples = 200;
    result.model_version_id = "model-v1";
    result.modbase_model_version_id = "modbase-v2";
    result.strand_orientation_code = -1;
    result.umi_tag_sequence = "UMI";
    result.scaling = reference_server::ScalingResult{1.5f, 2.5f, std::string("scale-v3")};
    result.base_mod = reference_server::BaseModResult{"A C", "6mA 5mC", "CG"};
    for (std::size_t i = 0; i < 2 * result.sequence.size(); ++i) {
        result.base_mod_probs.push_back(static_cast<std::uint8_t>(i * 7));
    }
    std::vector<bool> mask;
    for (std::size_t i = 0; i < result.sequence.size(); ++i) {
        mask.push_back(i % 3 == 1);
    }
    result.base_mod_context_mask = mask;
    result.barcode = reference_server::BarcodeResult{
        "barcode05", "KIT-96", "var1", 0.75f, reference_server::BarcodeEnd{0.5f, 10, 24}, std::nullopt};
    result.barcode_trim = reference_server::BarcodeTrimResult{30, 40};
    const reference_server::AlignmentHit first{
        .genome = "chr1", .genome_start = 100, .genome_end = 200, .strand_start = 3, .strand_end = 24,
        .num_events = 5, .num_insertions = 1, .num_deletions = 2, .num_aligned = 20, .num_correct = 19,
        .coverage = 0.9f, .identity = 0.95f, .accuracy = 0.97f, .strand_score = 60, .sam_record = "sam-1",
        .bed_hits = 2, .bed_lines = "bed-1a\nbed-1b", .direction = '-', .mapping_quality = 42};
    reference_server::AlignmentHit second = first;
    second.genome = std::string(252, 'g');
    second.sam_record = "sam-2";
    second.bed_hits = 1;
    second.bed_lines = "bed-2";
    second.is_secondary = true;
    second.is_supplementary = true;
    reference_server::AlignmentHit third = first;
    third.sam_record = "sam-3";
    third.bed_hits = 0;
    third.bed_lines = "";
    result.alignments = {first, second, third};
    result.poly_tail = reference_server::PolyTailResult{31, 1000, 1010, 1020, 1030, 1040};
    return result;
}

using Column = common::AlignResultsColumn;

template <class T>
T column(const dw::DataSetData& table_data, std::uint64_t row, Column field) {
    T value;
    std::memcpy(&value,
                static_cast<const std::uint8_t*>(table_data.data()) + row * table_data.element_size() +
                    common::align_results_offset(field),
                sizeof value);
    return value;
}

TEST(FbbuilderReadHelperTest, SplitsAReadIntoBlocksThatReassembleOnTheServer) {
    struct Row {
        std::size_t samples;
        std::uint64_t block_size;
        std::vector<std::size_t> expected_blocks;
    };
    const Row rows[] = {
        {600000, 256000, {256000, 256000, 88000}},
        {1000, 1000, {1000}},
        {1001, 1000, {1000, 1}},
        {7, 1, {1, 1, 1, 1, 1, 1, 1}},
        {0, 256000, {0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.samples) + " samples in blocks of " + std::to_string(row.block_size));
        common::ReadHolder read = make_read(42, row.samples);
        std::vector<Message> messages = ipc_tools::make_raw_block_messages(read, "client-7", row.block_size);
        ASSERT_EQ(messages.size(), row.expected_blocks.size());

        reference_server::ReadAssembler assembler;
        std::vector<reference_server::ReceivedRead> completed;
        // A read sent whole is read in place from its message: keep them all.
        std::vector<Message> kept;
        kept.reserve(messages.size());
        for (std::size_t i = 0; i < messages.size(); ++i) {
            Message& received = kept.emplace_back(receive(std::move(messages[i])));
            EXPECT_EQ(received.get_type(), i == 0 ? MessageType::PASS_FIRST_RAW_BLOCK : MessageType::PASS_NEXT_RAW_BLOCK);
            EXPECT_EQ(received.get_message_data().client_id()->str(), "client-7");
            const wire::ReadBlock& block = block_of(received);
            EXPECT_EQ(block.block_index(), i);
            EXPECT_EQ(block.block_count(), row.expected_blocks.size());
            EXPECT_EQ(block.duration(), row.samples);
            ASSERT_NE(block.samples(), nullptr);
            EXPECT_EQ(block.samples()->size(), row.expected_blocks[i]);

            reference_server::ReadAssembler::Outcome outcome = assembler.add(received);
            ASSERT_TRUE(outcome.accepted) << outcome.error;
            for (auto& done : outcome.completed) {
                completed.push_back(std::move(done));
            }
        }
        ASSERT_EQ(completed.size(), 1u);
        EXPECT_EQ(assembler.partial_count(), 0u);
        const auto original = read.datasets.at(dw::raw_data).view<std::int16_t>();
        ASSERT_EQ(completed[0].signal().size(), row.samples);
        EXPECT_TRUE(std::equal(completed[0].signal().begin(), completed[0].signal().end(), original.data()));
    }
}

TEST(FbbuilderReadHelperTest, BatchCarriesEveryReadWholeWithSharedTexts) {
    std::vector<common::ReadHolder> reads;
    reads.push_back(make_read(1, 4000));
    reads.push_back(make_read(2, 3));
    reads.push_back(make_read(3, 2500));
    reads[1].metadata->flow_cell_product_code.clear();
    reads[2].sub_tag = 5;
    reads[2].metadata->strand_id = "strand-3";
    reads[2].metadata->channel = 12;
    reads[2].metadata->mux = 3;
    reads[2].metadata->run_id = "run-x";

    Message batch = receive(ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), "c"));
    ASSERT_EQ(batch.get_type(), MessageType::PASS_READ_BATCH);
    const wire::ReadBatch* body = batch.get_message_data().data_as_ReadBatch();
    ASSERT_EQ(body->blocks()->size(), 3u);
    EXPECT_FALSE(has_field(body, wire::ReadBatch::VT_TYPE));
    for (const wire::ReadBlock* block : *body->blocks()) {
        EXPECT_EQ(block->type(), wire::BlockKind::FIRST_RAW_BLOCK);
        EXPECT_EQ(block->block_index(), 0u);
        EXPECT_EQ(block->block_count(), 1u);
    }
    // Equal texts of one buffer are stored once.
    EXPECT_EQ(body->blocks()->Get(0)->sequencing_kit(), body->blocks()->Get(2)->sequencing_kit());
    EXPECT_EQ(body->blocks()->Get(0)->end_reason(), body->blocks()->Get(1)->end_reason());
    EXPECT_EQ(body->blocks()->Get(1)->flow_cell_product_code(), nullptr);

    reference_server::ReadAssembler assembler;
    reference_server::ReadAssembler::Outcome outcome = assembler.add(batch);
    ASSERT_TRUE(outcome.accepted) << outcome.error;
    ASSERT_EQ(outcome.completed.size(), 3u);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE("read " + std::to_string(i));
        const reference_server::ReceivedRead& got = outcome.completed[i];
        const interfaces::ReadMetadata& sent = *reads[i].metadata;
        EXPECT_EQ(got.read_tag, reads[i].read_tag);
        EXPECT_EQ(got.sub_tag, reads[i].sub_tag);
        EXPECT_EQ(got.read_id, sent.read_id);
        EXPECT_EQ(got.strand_id, sent.strand_id);
        EXPECT_EQ(got.duration, sent.duration);
        EXPECT_EQ(got.daq_offset, 4.5f);
        EXPECT_EQ(got.daq_scaling, 0.25f);
        EXPECT_EQ(got.sampling_rate, 4000.0f);
        EXPECT_EQ(got.start_time, 1000u);
        EXPECT_EQ(got.num_keldrow_events, 17u);
        EXPECT_EQ(got.split_point, -1);
        EXPECT_TRUE(std::isnan(got.open_pore_level));
        EXPECT_EQ(got.sequencing_kit, sent.sequencing_kit);
        EXPECT_EQ(got.flow_cell_product_code, sent.flow_cell_product_code);
        EXPECT_EQ(got.end_reason, sent.end_reason);
        const auto original = reads[i].datasets.at(dw::raw_data).view<std::int16_t>();
        ASSERT_EQ(got.signal().size(), original.size());
        EXPECT_TRUE(std::equal(got.signal().begin(), got.signal().end(), original.data()));
    }
    ASSERT_TRUE(outcome.completed[2].pairing.has_value());
    EXPECT_EQ(outcome.completed[2].pairing->channel, 12);
    EXPECT_EQ(outcome.completed[2].pairing->mux, 3);
    EXPECT_EQ(outcome.completed[2].pairing->run_id, "run-x");
}

// Consecutive reads whose kits have the same length and differ in one
// character, at every place and for every length around a word's: each
// block carries its own kit, and reads whose kits are equal share one.
TEST(FbbuilderReadHelperTest, SharesOnlyEqualTextsBetweenReadsOfABatch) {
    for (std::size_t length = 1; length <= 20; ++length) {
        std::vector<common::ReadHolder> reads;
        for (std::size_t changed = 0; changed < length; ++changed) {
            for (int copy = 0; copy < 2; ++copy) {
                common::ReadHolder read = make_read(reads.size() + 1, 5);
                read.metadata->sequencing_kit = std::string(length, 'k');
                read.metadata->sequencing_kit[changed] = 'x';
                reads.push_back(std::move(read));
            }
        }
        SCOPED_TRACE(testing::Message() << "kits of " << length);
        Message batch = receive(ipc_tools::make_read_batch_message(std::span<const common::ReadHolder>(reads), "c"));
        const auto* blocks = batch.get_message_data().data_as_ReadBatch()->blocks();
        ASSERT_EQ(blocks->size(), reads.size());
        for (std::size_t i = 0; i < reads.size(); ++i) {
            EXPECT_EQ(blocks->Get(i)->sequencing_kit()->str(), reads[i].metadata->sequencing_kit);
            const bool same_as_before = i % 2 == 1;
            EXPECT_EQ(i > 0 && blocks->Get(i)->sequencing_kit() == blocks->Get(i - 1)->sequencing_kit(), same_as_before)
                << "read " << i;
        }
    }
}

TEST(FbbuilderReadHelperTest, WritesTheFixedAndOptionalFieldsOfABlock) {
    struct Row {
        const char* name;
        std::optional<std::int32_t> channel;
        std::optional<std::uint32_t> mux;
        std::string run_id;
        bool pairing;
    };
    const Row rows[] = {
        {"channel, mux and run id", 4, 2, "run", true},
        {"empty run id", 4, 2, "", false},
        {"no channel", std::nullopt, 2, "run", false},
        {"no mux", 4, std::nullopt, "run", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder read = make_read(9, 10);
        read.metadata->channel = row.channel;
        read.metadata->mux = row.mux;
        read.metadata->run_id = row.run_id;
        read.metadata->start_time.reset();
        read.metadata->open_pore_level = 0.0f;
        read.metadata->sequencing_kit.clear();
        Message message = receive(std::move(ipc_tools::make_raw_block_messages(read, "", 100).front()));
        EXPECT_EQ(message.get_message_data().client_id(), nullptr);
        const wire::ReadBlock& block = block_of(message);
        EXPECT_EQ(block.pairing() != nullptr, row.pairing);
        EXPECT_EQ(block.split_point(), -1);
        EXPECT_TRUE(has_field(&block, wire::ReadBlock::VT_OPEN_PORE_LEVEL));
        EXPECT_EQ(block.open_pore_level(), 0.0f);
        EXPECT_EQ(block.start_time(), 0u);
        // Written even when empty.
        EXPECT_TRUE(has_field(&block, wire::ReadBlock::VT_STRAND_ID));
        EXPECT_EQ(block.sequencing_kit(), nullptr);
        EXPECT_EQ(block.called_read(), nullptr);
        EXPECT_FALSE(has_field(&block, wire::ReadBlock::VT_IS_DUPLEX_PARENT));
    }
}

TEST(FbbuilderReadHelperTest, RefusesReadsWhoseSignalCannotBeSent) {
    common::ReadHolder no_signal = make_read(1, 10);
    no_signal.datasets.clear();
    test_support::expect_error<std::out_of_range>([&] { ipc_tools::make_raw_block_messages(no_signal, "c", 100); },
                                                  "invalid map<K, T> key");

    common::ReadHolder bytes = make_read(2, 10);
    bytes.datasets[dw::raw_data] = dw::DataSetData(std::vector<std::uint8_t>(10));
    test_support::expect_error<std::runtime_error>([&] { ipc_tools::make_raw_block_messages(bytes, "c", 100); },
                                                   "Invalid array type requested.");

    // A duration beyond the signal would read past it.
    common::ReadHolder short_signal = make_read(3, 10);
    short_signal.metadata->duration = 11;
    const common::ReadHolder* batch[] = {&short_signal};
    EXPECT_THROW(ipc_tools::make_raw_block_messages(short_signal, "c", 4), std::runtime_error);
    EXPECT_THROW(ipc_tools::make_read_batch_message(batch, "c"), std::runtime_error);
    // Also after blocks before it were written.
    const common::ReadHolder fine = make_read(4, 10);
    const common::ReadHolder* later[] = {&fine, &fine, &short_signal, &fine};
    EXPECT_THROW(ipc_tools::make_read_batch_message(later, "c"), std::runtime_error);
}

TEST(FbbuilderReadHelperDeathTest, EndsTheProcessForABlockSizeOfZero) {
    const common::ReadHolder read = make_read(1, 10);
    EXPECT_DEATH(ipc_tools::make_raw_block_messages(read, "c", 0), "at least one sample");
}

TEST(FbbuilderReadHelperTest, DecodesEveryFieldOfAResult) {
    common::ReadHolder target = make_read(77, 8000);
    target.metadata->time_stamp = "2024-03-01T12:00:00Z";
    const CalledResult result = full_result(77);
    ASSERT_TRUE(decode(target, result, 1000).ok());

    const interfaces::ReadMetadata& metadata = *target.metadata;
    EXPECT_EQ(metadata.strand_id, "strand-77");
    ASSERT_TRUE(metadata.duplex_strands.has_value());
    EXPECT_EQ(metadata.duplex_strands->duplex_strand_1, "parent-a");
    EXPECT_EQ(metadata.duplex_strands->duplex_strand_2, "parent-b");
    EXPECT_TRUE(metadata.is_duplex_parent);
    EXPECT_EQ(metadata.duration, 8000u);
    EXPECT_EQ(metadata.start_time, 5000u);
    EXPECT_EQ(metadata.time_stamp, "2024-03-01T12:00:01Z");  // 4000 samples at 4000 Hz later
    EXPECT_EQ(metadata.num_keldrow_events, 99u);
    EXPECT_EQ(metadata.split_point, 1234);
    ASSERT_TRUE(metadata.basecall_data.has_value());
    const interfaces::BasecallData& basecall = *metadata.basecall_data;
    EXPECT_EQ(basecall.sequence_length, 25u);
    EXPECT_EQ(basecall.mean_qscore, 12.5f);
    EXPECT_EQ(basecall.median, 80.0f);
    EXPECT_EQ(basecall.med_abs_dev, 7.5f);
    EXPECT_EQ(basecall.model_stride, 6u);
    EXPECT_EQ(metadata.model_version_id, "model-v1");
    EXPECT_EQ(metadata.modbase_model_version_id, "modbase-v2");
    EXPECT_EQ(metadata.trimmed_samples, 200u);
    EXPECT_EQ(metadata.trimmed_duration, 7800u);
    EXPECT_EQ(basecall.num_events, 8000u / 6);
    EXPECT_EQ(basecall.trimmed_events, 7800u / 6);
    ASSERT_TRUE(metadata.poly_tail_data.has_value());
    EXPECT_EQ(metadata.poly_tail_data->poly_tail_length, 31);
    EXPECT_EQ(metadata.poly_tail_data->poly_tail_anchor, 1000);
    EXPECT_EQ(metadata.poly_tail_data->poly_tail_start_1, 1010);
    EXPECT_EQ(metadata.poly_tail_data->poly_tail_end_1, 1020);
    EXPECT_EQ(metadata.poly_tail_data->poly_tail_start_2, 1030);
    EXPECT_EQ(metadata.poly_tail_data->poly_tail_end_2, 1040);
    EXPECT_EQ(metadata.strand_orientation, "-");
    EXPECT_EQ(metadata.umi_tag_sequence, "UMI");
    EXPECT_EQ(basecall.scaling_median, 1.5f);
    EXPECT_EQ(basecall.scaling_med_abs_dev, 2.5f);
    EXPECT_EQ(basecall.scaling_version, "scale-v3");
    ASSERT_TRUE(metadata.barcode_trim.has_value());
    EXPECT_EQ(metadata.barcode_trim->trim_front, 30);
    EXPECT_EQ(metadata.barcode_trim->trim_rear, 40);
    ASSERT_TRUE(metadata.barcode_data.has_value());
    EXPECT_EQ(metadata.barcode_data->arrangement, "barcode05");
    EXPECT_EQ(metadata.barcode_data->kit, "KIT-96");
    EXPECT_EQ(metadata.barcode_data->variant, "var1");
    EXPECT_EQ(metadata.barcode_data->score, 0.75f);
    EXPECT_EQ(metadata.barcode_data->front_score, 0.5f);
    EXPECT_EQ(metadata.barcode_data->front_begin_index, 10);
    EXPECT_EQ(metadata.barcode_data->front_foundseq_length, 24);
    EXPECT_EQ(metadata.barcode_data->rear_score, 0.0f);  // absent end
    EXPECT_EQ(metadata.barcode_data->rear_end_index, 0);
    EXPECT_EQ(metadata.barcode_data->alias, "");
    EXPECT_EQ(basecall.base_mod_alphabet, "A C");
    EXPECT_EQ(basecall.base_mod_long_names, "6mA 5mC");
    EXPECT_EQ(basecall.base_mod_context, "CG");
    EXPECT_EQ(basecall.base_flags, *result.base_mod_context_mask);

    EXPECT_EQ(metadata.sam_record, "sam-1\nsam-2\nsam-3");
    // The third alignment has no hits, so it adds no separator.
    EXPECT_EQ(metadata.bed_lines, "bed-1a\nbed-1b\nbed-2");
    const dw::DataSetData& table = target.datasets.at(dw::align_results);
    ASSERT_EQ(table.count(), 3u);
    EXPECT_EQ(table.element_size(), 320u);
    for (std::uint64_t row = 0; row < 3; ++row) {
        SCOPED_TRACE("alignment " + std::to_string(row));
        const reference_server::AlignmentHit& hit = result.alignments[row];
        const char* genome = static_cast<const char*>(table.data()) + row * 320;
        EXPECT_EQ(std::string(genome), hit.genome);
        EXPECT_EQ(column<std::int8_t>(table, row, Column::direction), hit.direction);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::genome_start), hit.genome_start);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::genome_end), hit.genome_end);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::strand_start), hit.strand_start);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::strand_end), hit.strand_end);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::num_events), hit.num_events);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::num_insertions), hit.num_insertions);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::num_deletions), hit.num_deletions);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::num_aligned), hit.num_aligned);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::num_correct), hit.num_correct);
        EXPECT_EQ(column<float>(table, row, Column::coverage), hit.coverage);
        EXPECT_EQ(column<float>(table, row, Column::identity), hit.identity);
        EXPECT_EQ(column<float>(table, row, Column::accuracy), hit.accuracy);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::strand_score), hit.strand_score);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::bed_hits), hit.bed_hits);
        EXPECT_EQ(column<std::int32_t>(table, row, Column::mapping_quality), hit.mapping_quality);
        EXPECT_EQ(column<std::uint8_t>(table, row, Column::is_secondary), hit.is_secondary ? 1 : 0);
        EXPECT_EQ(column<std::uint8_t>(table, row, Column::is_supplementary), hit.is_supplementary ? 1 : 0);
    }

    EXPECT_EQ(target.datasets.at(dw::sequence).string_value(), result.sequence);
    EXPECT_EQ(target.datasets.at(dw::qstring).string_value(), result.qstring);
    const auto moves = target.datasets.at(dw::movement).view<std::uint8_t>();
    EXPECT_EQ(std::vector<std::uint8_t>(moves.data(), moves.data() + moves.size()), *result.moves);
    const dw::DataSetData& probs = target.datasets.at(dw::base_mod_probs);
    EXPECT_EQ(probs.shape()[0], 25u);
    EXPECT_EQ(probs.shape()[1], 2u);
    const auto prob_values = probs.view<std::uint8_t>();
    EXPECT_EQ(std::vector<std::uint8_t>(prob_values.data(), prob_values.data() + prob_values.size()),
              result.base_mod_probs);
}

TEST(FbbuilderReadHelperTest, GathersAResultSpreadOverSeveralBlocks) {
    // 25 bases in blocks of at most 10, 9 and 1: three, three and 25 blocks.
    for (std::uint32_t max_bases : {10u, 9u, 1u}) {
        SCOPED_TRACE("blocks of " + std::to_string(max_bases));
        common::ReadHolder target = make_read(5, 8000);
        const CalledResult result = full_result(5);
        ASSERT_TRUE(decode(target, result, max_bases).ok());
        EXPECT_EQ(target.datasets.at(dw::sequence).string_value(), result.sequence);
        EXPECT_EQ(target.datasets.at(dw::qstring).string_value(), result.qstring);
        const auto moves = target.datasets.at(dw::movement).view<std::uint8_t>();
        EXPECT_EQ(std::vector<std::uint8_t>(moves.data(), moves.data() + moves.size()), *result.moves);
        const auto probs = target.datasets.at(dw::base_mod_probs).view<std::uint8_t>();
        EXPECT_EQ(std::vector<std::uint8_t>(probs.data(), probs.data() + probs.size()), result.base_mod_probs);
        EXPECT_EQ(target.metadata->basecall_data->base_flags, *result.base_mod_context_mask);
    }
}

TEST(FbbuilderReadHelperTest, DecodesEachResultOfACompletedBatch) {
    std::vector<CalledResult> results = {full_result(1), full_result(2)};
    results[1].sequence = "ACG";
    results[1].qstring = "!!!";
    results[1].base_mod.reset();
    results[1].base_mod_context_mask.reset();
    results[1].moves.reset();
    results[1].alignments.clear();
    reference_server::CompletedBatchReply reply = reference_server::make_completed_batch_reply(results, "c", 10);
    ASSERT_EQ(reply.continuations.size(), 2u);
    EXPECT_EQ(reply.continuations[0].size(), 2u);
    EXPECT_TRUE(reply.continuations[1].empty());

    Message batch = receive(std::move(reply.batch));
    ASSERT_EQ(batch.get_type(), MessageType::RETURN_COMPLETED_BATCH);
    const wire::ReadBatch* body = batch.get_message_data().data_as_ReadBatch();
    ASSERT_EQ(body->blocks()->size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE("result " + std::to_string(i));
        common::ReadHolder target = make_read(i + 1, 8000);
        Continuation continuation;
        for (Message& next : reply.continuations[i]) {
            continuation.replies.push_back(receive(std::move(next)));
        }
        ASSERT_TRUE(ipc_tools::decode_called_block(target, *body->blocks()->Get(i), continuation.step()).ok());
        EXPECT_EQ(target.datasets.at(dw::sequence).string_value(), results[i].sequence);
        EXPECT_EQ(target.datasets.count(dw::movement), i == 0 ? 1u : 0u);
        EXPECT_EQ(target.datasets.count(dw::base_mod_probs), i == 0 ? 1u : 0u);
        EXPECT_EQ(target.datasets.count(dw::align_results), i == 0 ? 1u : 0u);
    }
}

TEST(FbbuilderReadHelperTest, AppliesDefaultsOfAbsentFieldsAndKeepsExistingDataSets) {
    common::ReadHolder target = make_read(3, 8000);
    target.metadata->split_point = 55;
    target.metadata->strand_orientation = "+";
    target.datasets.emplace(dw::sequence, dw::DataSetData(std::string("KEEP")));
    CalledResult result;
    result.read_tag = 3;
    result.duration = 8000;
    result.sequence = "ACGT";
    result.qstring = "####";
    ASSERT_TRUE(decode(target, result, 100).ok());
    EXPECT_EQ(target.metadata->split_point, 0);  // an absent split point reads as 0
    EXPECT_EQ(target.metadata->strand_orientation, "?");
    EXPECT_FALSE(target.metadata->duplex_strands.has_value());
    EXPECT_FALSE(target.metadata->barcode_data.has_value());
    EXPECT_FALSE(target.metadata->poly_tail_data.has_value());
    EXPECT_TRUE(target.metadata->basecall_data->base_flags.empty());
    EXPECT_EQ(target.datasets.at(dw::sequence).string_value(), "KEEP");
    EXPECT_EQ(target.datasets.at(dw::qstring).string_value(), "####");
    EXPECT_EQ(target.datasets.count(dw::movement), 0u);

    // A negative split point is not applied.
    result.split_point = -1;
    target.metadata->split_point = 55;
    ASSERT_TRUE(decode(target, result, 100).ok());
    EXPECT_EQ(target.metadata->split_point, 55);
}

TEST(FbbuilderReadHelperTest, MovesTheTimeStampByTheLaterStart) {
    struct Row {
        const char* name;
        std::optional<std::uint64_t> submitted_start;
        std::uint64_t returned_start;
        float sampling_rate;
        std::string time_stamp;
        std::string expected;
    };
    const Row rows[] = {
        {"one second later, over midnight", 1000, 5000, 4000.0f, "2024-12-31T23:59:59Z", "2025-01-01T00:00:00Z"},
        {"offset form kept", 0, 6000, 4000.0f, "2024-02-28T10:00:00+02:00", "2024-02-28T10:00:02+02:00"},
        {"fraction kept", 0, 8000, 4000.0f, "2024-02-29T10:00:00.250-05:30", "2024-02-29T10:00:02.250-05:30"},
        {"less than half a second", 0, 1999, 4000.0f, "2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z"},
        {"earlier start", 9000, 5000, 4000.0f, "2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z"},
        {"no sampling rate", 0, 8000, 0.0f, "2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z"},
        {"unreadable time stamp", 0, 8000, 4000.0f, "yesterday", "yesterday"},
        {"no start time", std::nullopt, 8000, 4000.0f, "2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        common::ReadHolder target = make_read(1, 10);
        target.metadata->start_time = row.submitted_start;
        target.metadata->sampling_rate = row.sampling_rate;
        target.metadata->time_stamp = row.time_stamp;
        CalledResult result;
        result.duration = 10;
        result.start_time = row.returned_start;
        ASSERT_TRUE(decode(target, result, 100).ok());
        EXPECT_EQ(target.metadata->time_stamp, row.expected);
        EXPECT_EQ(target.metadata->start_time.has_value(), row.submitted_start.has_value());
        if (row.submitted_start) {
            EXPECT_EQ(*target.metadata->start_time, row.returned_start);
        }
    }
}

TEST(FbbuilderReadHelperTest, RejectsBlocksItCannotApply) {
    struct Row {
        const char* name;
        std::function<void(CalledResult&)> change;
        DecodeFailure failure;
        std::string detail_part;
    };
    const Row rows[] = {
        {"zero duration", [](CalledResult& r) { r.duration = 0; }, DecodeFailure::zero_duration, ""},
        {"genome name of 253 characters",
         [](CalledResult& r) { r.alignments[1].genome = std::string(253, 'x'); }, DecodeFailure::genome_name_too_long,
         std::string(253, 'x')},
        {"strand orientation code 2", [](CalledResult& r) { r.strand_orientation_code = 2; },
         DecodeFailure::malformed_data, "orientation"},
        {"strand orientation code -2", [](CalledResult& r) { r.strand_orientation_code = -2; },
         DecodeFailure::malformed_data, "orientation"},
        {"empty base modification alphabet", [](CalledResult& r) { r.base_mod->alphabet.clear(); },
         DecodeFailure::malformed_data, "alphabet"},
        {"context mask shorter than its bases", [](CalledResult& r) { r.base_mod_context_mask->resize(3); },
         DecodeFailure::malformed_data, "mask"},
        {"model stride 0", [](CalledResult& r) { r.model_stride = 0; }, DecodeFailure::malformed_data, "stride"},
        {"more trimmed samples than the duration", [](CalledResult& r) { r.trimmed_samples = 8001; },
         DecodeFailure::malformed_data, "trimmed"},
        {"probabilities short of their table", [](CalledResult& r) { r.base_mod_probs.pop_back(); },
         DecodeFailure::malformed_data, "probabilities"},
    };
    for (const Row& row : rows) {
        for (std::uint32_t max_bases : {100u, 4u}) {
            SCOPED_TRACE(std::string(row.name) + ", blocks of " + std::to_string(max_bases));
            common::ReadHolder target = make_read(8, 8000);
            CalledResult result = full_result(8);
            row.change(result);
            const ipc_tools::DecodeResult decoded = decode(target, result, max_bases);
            EXPECT_EQ(decoded.failure, row.failure);
            EXPECT_NE(decoded.detail.find(row.detail_part), std::string::npos) << decoded.detail;
            // Steps before the failure are written; the data sets never are.
            EXPECT_EQ(target.metadata->strand_id, "strand-8");
            EXPECT_EQ(target.datasets.count(dw::sequence), 0u);
        }
    }
}

TEST(FbbuilderReadHelperTest, RejectsAResultWhoseContinuationFails) {
    common::ReadHolder target = make_read(8, 8000);
    std::vector<Message> replies = reference_server::make_called_block_replies(full_result(8), "c", 10);
    ASSERT_EQ(replies.size(), 3u);
    Message first = receive(std::move(replies[0]));
    Continuation continuation;
    continuation.replies.push_back(receive(std::move(replies[1])));  // the third never comes
    const ipc_tools::DecodeResult decoded =
        ipc_tools::decode_called_block(target, block_of(first), continuation.step());
    EXPECT_EQ(decoded.failure, DecodeFailure::failed_continuation);
    EXPECT_EQ(target.datasets.count(dw::sequence), 0u);
    EXPECT_EQ(continuation.next, 1u);
}

TEST(FbbuilderReadHelperTest, RejectsAReturnedBlockWithoutResult) {
    flatbuffers::FlatBufferBuilder builder;
    const auto block = wire::CreateReadBlock(builder, wire::BlockKind::FIRST_CALLED_BLOCK, 1, 0, 1, 100);
    ipc_tools::finish_envelope(builder, "", wire::MessageData::ReadBlock, block.Union());
    Message message = receive(Message(builder));
    common::ReadHolder target = make_read(1, 100);
    const ipc_tools::DecodeResult decoded = ipc_tools::decode_called_block(target, block_of(message), nullptr);
    EXPECT_EQ(decoded.failure, DecodeFailure::malformed_data);
}

TEST(FbbuilderReadHelperTest, UnpacksBitsLeastSignificantFirst) {
    std::vector<bool> flags{true};
    const std::uint8_t packed[] = {0x05, 0x01};
    ASSERT_TRUE(ipc_tools::append_packed_bits(flags, packed, 9));
    EXPECT_EQ(flags, (std::vector<bool>{true, true, false, true, false, false, false, false, false, true}));

    EXPECT_FALSE(ipc_tools::append_packed_bits(flags, packed, 17));
    EXPECT_EQ(flags.size(), 10u);
    EXPECT_TRUE(ipc_tools::append_packed_bits(flags, std::span<const std::uint8_t>(), 0));
    EXPECT_EQ(flags.size(), 10u);
}

}  // namespace
