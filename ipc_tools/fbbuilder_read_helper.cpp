#include "ipc_tools/fbbuilder_read_helper.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/read_model/align_results_table.h"
#include "common/runtime/contract.h"
#include "common/runtime/diagnostics/tracing.h"
#include "ipc_tools/read_block_writer.h"
#include "ipc_tools/read_message_builder.h"
#include "ipc_tools/wire_format.h"

namespace ipc_tools {

// Trace domain of the read payload functions, named "ipc_tools::FbbuilderReadHelper"
// (per-read scopes in its "hftrace::" domain).
struct FbbuilderReadHelper : common::diagnostics::tracing::TraceDomain<FbbuilderReadHelper> {};

namespace {

namespace dw = vesk::data_wrappers::v2;
using common::diagnostics::tracing::TraceScope;

// Builder sizes. A builder that has to grow copies everything built so far
// into a buffer half as large again, which costs as much as building the
// whole message a second time and keeps the larger buffer for as long as the
// message is queued. So a builder starts with room for all of it: the
// samples, every text, the tables with their vtables and padding, and the
// scratch room a table takes while it is built. The constants are the bytes
// our schema needs beyond the samples and texts; a test builds the largest
// blocks and batches and checks that nothing regrows.
// A block's own parts (table, texts, pairing table, samples and padding)
// are counted by ReadBlockWriter::block_bytes.
// A block vtable, written once for each shape of block.
constexpr std::uint64_t block_vtable_bytes = ReadBlockWriter::vtable_bytes + 1;
constexpr std::uint64_t envelope_fixed_bytes = 100;  // with its vtable and scratch, identifier and root
constexpr std::uint64_t batch_fixed_bytes = 24;      // the batch table, its vtable, its vector's length
constexpr std::uint64_t batch_entry_bytes = 4;       // a block's place in the batch's vector

// A text's share of a buffer: length prefix, characters, terminating zero
// and up to three bytes of padding.
constexpr std::uint64_t text_bytes(std::size_t length) { return length + 8; }

// Capacity hints come from the server; a corrupt one must not make us
// reserve gigabytes. Larger results still fit: the buffers grow as needed.
constexpr std::uint64_t max_reserved_entries = std::uint64_t{1} << 24;

std::size_t capped_hint(std::uint64_t hint) {
    return static_cast<std::size_t>(std::min(hint, max_reserved_entries));
}

std::string_view view_of(const flatbuffers::String* text) {
    return text == nullptr ? std::string_view() : std::string_view(text->c_str(), text->size());
}

template <class T>
std::span<const T> span_of(const flatbuffers::Vector<T>* values) {
    return values == nullptr ? std::span<const T>() : std::span<const T>(values->data(), values->size());
}

DecodeResult fail(DecodeFailure failure, std::string detail = {}) {
    return DecodeResult{failure, std::move(detail)};
}

DecodeResult malformed(std::string detail) {
    return fail(DecodeFailure::malformed_data, std::move(detail));
}

// ISO 8601 time stamps as the device writes them: a civil date and time, an
// optional fraction of a second, then "Z" or an offset "+hh:mm". Whole
// seconds are added to the civil time, so the offset and the fraction are
// kept as they were written.
bool advance_time_stamp(std::string& time_stamp, std::int64_t seconds) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    int consumed = 0;
    if (std::sscanf(time_stamp.c_str(), "%4d-%2u-%2uT%2u:%2u:%2u%n", &year, &month, &day, &hour, &minute, &second,
                    &consumed) != 6 ||
        consumed != 19) {
        return false;
    }
    std::size_t tail = 19;
    if (tail < time_stamp.size() && time_stamp[tail] == '.') {
        ++tail;
        while (tail < time_stamp.size() && time_stamp[tail] >= '0' && time_stamp[tail] <= '9') {
            ++tail;
        }
    }
    const std::string_view zone = std::string_view(time_stamp).substr(tail);
    const bool utc = zone == "Z";
    const bool offset = zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':';
    if (!utc && !offset) {
        return false;
    }

    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    const sys_seconds moved = sys_days(date) + hours(hour) + minutes(minute) + std::chrono::seconds(second) +
                              std::chrono::seconds(seconds);
    const sys_days moved_day = floor<days>(moved);
    const year_month_day moved_date(moved_day);
    const hh_mm_ss<std::chrono::seconds> moved_time(moved - moved_day);

    char civil[32];
    std::snprintf(civil, sizeof civil, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(moved_date.year()),
                  static_cast<unsigned>(moved_date.month()), static_cast<unsigned>(moved_date.day()),
                  static_cast<int>(moved_time.hours().count()), static_cast<int>(moved_time.minutes().count()),
                  static_cast<int>(moved_time.seconds().count()));
    time_stamp = civil + time_stamp.substr(19);
    return true;
}

void apply_start_time(interfaces::ReadMetadata& metadata, std::uint64_t returned_start) {
    if (!metadata.start_time) {
        return;
    }
    const std::uint64_t submitted_start = *metadata.start_time;
    metadata.start_time = returned_start;
    if (returned_start <= submitted_start || metadata.time_stamp.empty() || !(metadata.sampling_rate > 0.0f)) {
        return;
    }
    const double offset = static_cast<double>(returned_start - submitted_start) / metadata.sampling_rate;
    if (!(offset < 1e15)) {
        return;
    }
    const std::int64_t seconds = std::llround(offset);
    if (seconds > 0) {
        // A time stamp we cannot read is kept as the device wrote it.
        static_cast<void>(advance_time_stamp(metadata.time_stamp, seconds));
    }
}

using Column = common::AlignResultsColumn;

template <Column column, class T>
void put(std::uint8_t* row, T value) {
    static_assert(sizeof(T) == common::align_results_field(column).size, "value does not fill its column");
    std::memcpy(row + common::align_results_offset(column), &value, sizeof value);
}

// Fills the align_results table and the joined SAM and BED texts.
DecodeResult apply_alignments(common::ReadHolder& target,
                              const flatbuffers::Vector<flatbuffers::Offset<wire::AlignmentResult>>& alignments) {
    for (const wire::AlignmentResult* alignment : alignments) {
        const std::string_view genome = view_of(alignment->genome());
        if (genome.size() > common::align_results_max_genome_length) {
            return fail(DecodeFailure::genome_name_too_long, std::string(genome));
        }
    }

    dw::DataTable table = common::make_align_results_table(alignments.size());
    std::string sam_record;
    std::string bed_lines;
    std::uint64_t row_index = 0;
    for (const wire::AlignmentResult* alignment : alignments) {
        std::uint8_t* row = table.row(row_index);
        if (row_index != 0) {
            sam_record += '\n';
        }
        ++row_index;

        const std::string_view genome = view_of(alignment->genome());
        // The rows are zeroed, so the name stays terminated.
        std::memcpy(row + common::align_results_offset(Column::genome), genome.data(), genome.size());
        put<Column::direction>(row, static_cast<std::int8_t>(alignment->direction()));
        put<Column::genome_start>(row, alignment->genome_start());
        put<Column::genome_end>(row, alignment->genome_end());
        put<Column::strand_start>(row, alignment->strand_start());
        put<Column::strand_end>(row, alignment->strand_end());
        put<Column::num_events>(row, alignment->num_events());
        put<Column::num_insertions>(row, alignment->num_insertions());
        put<Column::num_deletions>(row, alignment->num_deletions());
        put<Column::num_aligned>(row, alignment->num_aligned());
        put<Column::num_correct>(row, alignment->num_correct());
        put<Column::coverage>(row, alignment->coverage());
        put<Column::identity>(row, alignment->identity());
        put<Column::accuracy>(row, alignment->accuracy());
        put<Column::strand_score>(row, alignment->strand_score());
        put<Column::bed_hits>(row, alignment->bed_hits());
        put<Column::mapping_quality>(row, alignment->mapping_quality());
        put<Column::is_secondary>(row, static_cast<std::uint8_t>(alignment->is_secondary() ? 1 : 0));
        put<Column::is_supplementary>(row, static_cast<std::uint8_t>(alignment->is_supplementary() ? 1 : 0));

        sam_record += view_of(alignment->sam_record());
        // An alignment without BED hits adds its (empty) text with no
        // separator, so the lines stay one per hit.
        if (!bed_lines.empty() && alignment->bed_hits() != 0) {
            bed_lines += '\n';
        }
        bed_lines += view_of(alignment->bed_lines());
    }

    interfaces::ReadMetadata& metadata = *target.metadata;
    if (!sam_record.empty()) {
        metadata.sam_record = std::move(sam_record);
    }
    if (!bed_lines.empty()) {
        metadata.bed_lines = std::move(bed_lines);
    }
    if (target.datasets.find(dw::align_results) == target.datasets.end()) {
        target.datasets.emplace(dw::align_results, dw::DataSetData(std::move(table)));
    }
    return {};
}

const char* orientation_text(std::int32_t code) {
    switch (code) {
    case -1:
        return "-";
    case 0:
        return "?";
    case 1:
        return "+";
    default:
        return nullptr;
    }
}

// The per-block parts of a result, collected until its last block is in.
struct Collected {
    std::string sequence;
    std::string qstring;
    std::vector<std::uint8_t> moves;
    // A result in one block keeps its moves where the message holds them,
    // to be copied once into their data set.
    bool single_block = false;
    std::span<const std::uint8_t> single_block_moves;
    std::vector<std::uint8_t> base_mod_probs;
    std::vector<bool> context_mask;
    bool moves_received = false;
    bool probs_expected = false;  // base_mod_info came with the first block
    bool probs_received = false;
    bool mask_received = false;
    std::uint64_t channels = 0;  // probability columns per base

    // Appends what one block carries; false with a reason for malformed data.
    bool append(const wire::CalledRead& called, std::string& reason) {
        const std::string_view block_sequence = view_of(called.sequence());
        sequence += block_sequence;
        qstring += view_of(called.qstring());
        if (called.moves() != nullptr) {
            moves_received = true;
            const auto block_moves = span_of(called.moves());
            if (single_block) {
                single_block_moves = block_moves;
            } else {
                moves.insert(moves.end(), block_moves.begin(), block_moves.end());
            }
        }
        if (probs_expected && called.base_mod_probs() != nullptr) {
            probs_received = true;
            const auto block_probs = span_of(called.base_mod_probs());
            base_mod_probs.insert(base_mod_probs.end(), block_probs.begin(), block_probs.end());
        }
        if (called.base_mod_context_mask() != nullptr) {
            mask_received = true;
            if (!append_packed_bits(context_mask, span_of(called.base_mod_context_mask()), block_sequence.size())) {
                reason = "base modification context mask of " +
                         std::to_string(called.base_mod_context_mask()->size()) + " bytes is shorter than its " +
                         std::to_string(block_sequence.size()) + " bases";
                return false;
            }
        }
        return true;
    }
};

}  // namespace

namespace {

// The room a block of sample_count samples of a read takes, vtables aside,
// counting its shared texts as if it were the only block to carry them (and
// an empty one, left out, all the same); and its shape, as ReadBlockWriter
// tells its vtables apart.
struct BlockRoom {
    std::uint64_t bytes;
    std::uint32_t shape;
};

[[gnu::always_inline]] inline BlockRoom block_room(const common::ReadHolder& read,
                                                   std::uint64_t sample_count,
                                                   std::uint32_t block_index,
                                                   std::uint32_t block_count) {
    const interfaces::ReadMetadata& metadata = *read.metadata;
    const std::uint32_t shape = ReadBlockWriter::shape_of(read, block_index, block_count);
    const std::uint64_t bytes =
        ReadBlockWriter::block_bytes(sample_count, metadata.read_id, metadata.strand_id, shape) +
        text_bytes(metadata.sequencing_kit.size()) + text_bytes(metadata.flow_cell_product_code.size()) +
        text_bytes(metadata.end_reason.size()) +
        ((shape & ReadBlockWriter::pairing_field) != 0 ? text_bytes(metadata.run_id.size()) : 0);
    return {bytes, shape};
}

// The batch's vector of its blocks. Written at once rather than entry by
// entry (each aligned and given room on its own): each entry is the
// distance from its own place up to its block.
flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<wire::ReadBlock>>> block_vector(
    flatbuffers::FlatBufferBuilder& builder,
    std::span<const flatbuffers::Offset<wire::ReadBlock>> blocks) {
    using flatbuffers::uoffset_t;
    uoffset_t* entries = nullptr;
    const uoffset_t vector = builder.CreateUninitializedVector(blocks.size(), &entries).o;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        // Entry i sits 4 (i + 1) bytes above the vector's length.
        const uoffset_t entry = vector - static_cast<uoffset_t>(sizeof(uoffset_t) * (i + 1));
        flatbuffers::WriteScalar(entries + i, entry - blocks[i].o);
    }
    return flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<wire::ReadBlock>>>(vector);
}

// The envelope leaves an empty client id out.
std::uint64_t client_id_bytes(const std::string& connection_id) {
    return connection_id.empty() ? 0 : text_bytes(connection_id.size());
}

// The writer's room for a raw block: the block with its shared texts and
// vtables. Its size is that of a later block (which carries its index and
// kind), so as to hold any block of the read.
std::uint64_t raw_block_room(const common::ReadHolder& read, std::uint64_t sample_count) {
    const BlockRoom room = block_room(read, sample_count, 1, 1);
    const std::uint64_t pairing_vtable =
        (room.shape & ReadBlockWriter::pairing_field) != 0 ? ReadBlockWriter::pairing_vtable_bytes : 0;
    return room.bytes + block_vtable_bytes + pairing_vtable;
}

// The writer's room for a batch of reads: their blocks with their shared
// texts and vtables. Each block whose shape differs from the one before it
// may bring a vtable; each shape of pairing table, one. The blocks' shapes
// go to shapes, when given, for the writer.
std::uint64_t batch_block_room(std::span<const common::ReadHolder* const> reads, std::uint32_t* shapes = nullptr) {
    std::uint64_t bytes = 0;
    std::uint32_t last_shape = ~0U;
    std::uint32_t last_block_shape = ~0U;
    std::uint32_t pairing_shapes = 0;  // bit s: a pairing table of channel and mux fields s
    // What a block of last_shape takes besides its own texts and samples
    // and its shared texts' characters; and whether it carries the run id.
    // The reads of a batch mostly share one shape, so these are worked out
    // once for each run of reads of one shape.
    std::uint64_t shape_bytes = 0;
    std::size_t run_id_mask = 0;
    for (const common::ReadHolder* read : reads) {
        QOR_EXPECTS(read != nullptr && read->metadata != nullptr, "A read sent to the server needs its metadata");
        const interfaces::ReadMetadata& metadata = *read->metadata;
        const std::uint32_t shape = ReadBlockWriter::shape_of(*read, 0, 1);
        if (shapes != nullptr) {
            *shapes++ = shape;
        }
        if (shape != last_shape) [[unlikely]] {
            last_shape = shape;
            const bool pairing = (shape & ReadBlockWriter::pairing_field) != 0;
            shape_bytes = ReadBlockWriter::shape_bytes(shape) + 3 * text_bytes(0) + (pairing ? text_bytes(0) : 0);
            run_id_mask = pairing ? ~std::size_t{0} : 0;
            const std::uint32_t block_shape = shape & ReadBlockWriter::block_fields;
            bytes += block_shape != last_block_shape ? block_vtable_bytes : 0;
            last_block_shape = block_shape;
            if (pairing) {
                pairing_shapes |= 1U << ((shape & ReadBlockWriter::pairing_fields) / ReadBlockWriter::channel_field);
            }
        }
        // What block_room counts, less what the shape counts.
        bytes += shape_bytes + ReadBlockWriter::own_bytes(metadata.duration, metadata.read_id, metadata.strand_id) +
                 metadata.sequencing_kit.size() + metadata.flow_cell_product_code.size() + metadata.end_reason.size() +
                 (metadata.run_id.size() & run_id_mask);
    }
    bytes += static_cast<std::uint64_t>(std::popcount(pairing_shapes)) * ReadBlockWriter::pairing_vtable_bytes;
    return bytes;
}

// What a batch adds to its blocks' room.
std::uint64_t batch_builder_bytes(std::size_t reads, const std::string& connection_id) {
    return envelope_fixed_bytes + batch_fixed_bytes + client_id_bytes(connection_id) + reads * batch_entry_bytes;
}

}  // namespace

std::size_t raw_block_builder_size(const common::ReadHolder& read,
                                   std::uint64_t sample_count,
                                   const std::string& connection_id) {
    QOR_EXPECTS(read.metadata != nullptr, "A read sent to the server needs its metadata");
    return static_cast<std::size_t>(raw_block_room(read, sample_count) + envelope_fixed_bytes +
                                    client_id_bytes(connection_id));
}

std::size_t read_batch_builder_size(std::span<const common::ReadHolder* const> reads, const std::string& connection_id) {
    return static_cast<std::size_t>(batch_block_room(reads) + batch_builder_bytes(reads.size(), connection_id));
}

std::vector<Message> make_raw_block_messages(const common::ReadHolder& read,
                                             const std::string& connection_id,
                                             std::uint64_t max_block_size,
                                             flatbuffers::Allocator* allocator) {
    QOR_EXPECTS(max_block_size >= 1, "The maximum block size must be at least one sample");
    QOR_EXPECTS(read.metadata != nullptr, "A read sent to the server needs its metadata");
    TraceScope scope(FbbuilderReadHelper::hf_trace_context(), "make_raw_block_messages");

    const std::uint64_t duration = read.metadata->duration;
    const std::uint64_t block_count = std::max<std::uint64_t>(1, duration / max_block_size +
                                                                     (duration % max_block_size != 0 ? 1 : 0));
    if (block_count > std::numeric_limits<std::uint32_t>::max()) {
        throw std::runtime_error("Read " + read.metadata->read_id + " needs more raw blocks than a block count holds.");
    }
    scope.trace([&] { return "read_tag " + std::to_string(read.read_tag) + " blocks " + std::to_string(block_count); });

    std::vector<Message> messages;
    messages.reserve(static_cast<std::size_t>(block_count));
    for (std::uint64_t index = 0; index < block_count; ++index) {
        const std::uint64_t first_sample = index * max_block_size;
        const std::uint64_t sample_count = std::min(max_block_size, duration - first_sample);
        ReadMessageBuilder builder(raw_block_builder_size(read, sample_count, connection_id), allocator);
        ReadBlockWriter writer(builder, static_cast<std::size_t>(raw_block_room(read, sample_count)));
        const auto block = writer.write(read, first_sample, sample_count, static_cast<std::uint32_t>(index),
                                        static_cast<std::uint32_t>(block_count));
        writer.finish();
        finish_envelope(builder, connection_id, wire::MessageData::ReadBlock, block.Union());
        messages.emplace_back(builder);
    }
    return messages;
}

Message make_read_batch_message(std::span<const common::ReadHolder* const> reads,
                                const std::string& connection_id,
                                flatbuffers::Allocator* allocator) {
    TraceScope scope(FbbuilderReadHelper::hf_trace_context(), "make_read_batch_message");
    scope.trace([&] { return "reads " + std::to_string(reads.size()); });

    // The shapes found while sizing, so that the writer need not find them again.
    std::vector<std::uint32_t> shapes(reads.size());
    const std::uint64_t room = batch_block_room(reads, shapes.data());
    ReadMessageBuilder builder(static_cast<std::size_t>(room + batch_builder_bytes(reads.size(), connection_id)),
                               allocator);
    ReadBlockWriter writer(builder, static_cast<std::size_t>(room));
    std::vector<flatbuffers::Offset<wire::ReadBlock>> blocks(reads.size());
    writer.write_reads(reads, blocks.data(), shapes.data());
    writer.finish();
    const auto batch = wire::CreateReadBatch(builder, wire::BatchKind::READ_BATCH, block_vector(builder, blocks));
    finish_envelope(builder, connection_id, wire::MessageData::ReadBatch, batch.Union());
    return Message(builder);
}

Message make_read_batch_message(std::span<const common::ReadHolder> reads,
                                const std::string& connection_id,
                                flatbuffers::Allocator* allocator) {
    std::vector<const common::ReadHolder*> pointers;
    pointers.reserve(reads.size());
    for (const common::ReadHolder& read : reads) {
        pointers.push_back(&read);
    }
    return make_read_batch_message(std::span<const common::ReadHolder* const>(pointers), connection_id, allocator);
}

namespace {

// The steps of decode_called_block, in the order it applies them. Each
// writes its part of the record; a failing step leaves what the steps before
// it wrote.

void apply_strand_identity(interfaces::ReadMetadata& metadata, const wire::ReadBlock& first) {
    metadata.strand_id = view_of(first.strand_id());
    if (first.duplex_strand_1() != nullptr && first.duplex_strand_2() != nullptr) {
        metadata.duplex_strands = interfaces::DuplexStrands{first.duplex_strand_1()->str(),
                                                            first.duplex_strand_2()->str()};
    }
    metadata.is_duplex_parent = first.is_duplex_parent();
}

DecodeResult apply_signal_timing(interfaces::ReadMetadata& metadata, const wire::ReadBlock& first) {
    const std::uint64_t duration = first.duration();
    if (duration == 0) {
        return fail(DecodeFailure::zero_duration);
    }
    metadata.duration = duration;
    apply_start_time(metadata, first.start_time());
    metadata.num_keldrow_events = first.num_keldrow_events();
    if (first.split_point() >= 0) {
        metadata.split_point = first.split_point();
    }
    return {};
}

// The basecall group (created when absent) and the model details; the
// event counts divide by the model stride, so a zero stride is refused.
DecodeResult apply_basecall_summary(interfaces::ReadMetadata& metadata, const wire::CalledRead& called) {
    const std::uint64_t duration = metadata.duration;
    if (called.model_stride() == 0) {
        return malformed("model stride is 0");
    }
    if (called.trimmed_samples() > duration) {
        return malformed("trimmed samples " + std::to_string(called.trimmed_samples()) + " exceed duration " +
                         std::to_string(duration));
    }
    interfaces::BasecallData& basecall = metadata.basecall_data ? *metadata.basecall_data
                                                                : metadata.basecall_data.emplace();
    basecall.sequence_length = called.sequence_length();
    basecall.mean_qscore = called.mean_qscore();
    basecall.median = called.median();
    basecall.med_abs_dev = called.med_abs_dev();
    basecall.model_stride = called.model_stride();
    metadata.model_version_id = view_of(called.model_version_id());
    metadata.modbase_model_version_id = view_of(called.modbase_model_version_id());
    metadata.trimmed_samples = called.trimmed_samples();
    metadata.trimmed_duration = duration - called.trimmed_samples();
    basecall.num_events = duration / called.model_stride();
    basecall.trimmed_events = metadata.trimmed_duration / called.model_stride();
    return {};
}

void apply_poly_tail(interfaces::ReadMetadata& metadata, const wire::CalledRead& called) {
    if (const wire::PolyTailResult* poly_tail = called.poly_tail()) {
        interfaces::PolyTailData& data = metadata.poly_tail_data.emplace();
        data.poly_tail_length = poly_tail->poly_tail_length();
        data.poly_tail_anchor = poly_tail->poly_tail_anchor();
        data.poly_tail_start_1 = poly_tail->poly_tail_start_1();
        data.poly_tail_end_1 = poly_tail->poly_tail_end_1();
        data.poly_tail_start_2 = poly_tail->poly_tail_start_2();
        data.poly_tail_end_2 = poly_tail->poly_tail_end_2();
    }
}

DecodeResult apply_orientation(interfaces::ReadMetadata& metadata, const wire::CalledRead& called) {
    const char* orientation = orientation_text(called.strand_orientation_code());
    if (orientation == nullptr) {
        return malformed("strand orientation code " + std::to_string(called.strand_orientation_code()) +
                         " is not one of -1, 0, 1");
    }
    metadata.strand_orientation = orientation;
    return {};
}

void apply_umi_and_scaling(interfaces::ReadMetadata& metadata, const wire::CalledRead& called) {
    if (called.umi_tag_sequence() != nullptr) {
        metadata.umi_tag_sequence = called.umi_tag_sequence()->str();
    }
    if (const wire::ScalingInfo* scaling = called.scaling()) {
        interfaces::BasecallData& basecall = *metadata.basecall_data;
        basecall.scaling_median = scaling->scaling_median();
        basecall.scaling_med_abs_dev = scaling->scaling_med_abs_dev();
        if (scaling->scaling_version() != nullptr) {
            basecall.scaling_version = scaling->scaling_version()->str();
        }
    }
}

void apply_barcode(interfaces::ReadMetadata& metadata, const wire::CalledRead& called) {
    if (const wire::BarcodeTrim* trim = called.barcode_trim()) {
        metadata.barcode_trim = interfaces::BarcodeTrim{trim->trim_front(), trim->trim_rear()};
    }
    if (const wire::BarcodeResult* barcode = called.barcode()) {
        interfaces::BarcodeData& data = metadata.barcode_data ? *metadata.barcode_data
                                                              : metadata.barcode_data.emplace();
        data.arrangement = view_of(barcode->arrangement());
        data.kit = view_of(barcode->kit());
        data.variant = view_of(barcode->variant());
        data.score = barcode->score();
        const wire::BarcodeEndResult* front = barcode->front();
        data.front_score = front != nullptr ? front->score() : 0.0f;
        data.front_begin_index = front != nullptr ? front->index() : 0;
        data.front_foundseq_length = front != nullptr ? front->foundseq_length() : 0;
        const wire::BarcodeEndResult* rear = barcode->rear();
        data.rear_score = rear != nullptr ? rear->score() : 0.0f;
        data.rear_end_index = rear != nullptr ? rear->index() : 0;
        data.rear_foundseq_length = rear != nullptr ? rear->foundseq_length() : 0;
    }
}

// Room for the whole result, and the base modification details, which say
// how many probability channels each base carries.
DecodeResult start_collecting(Collected& collected, interfaces::BasecallData& basecall, const wire::CalledRead& called) {
    const std::uint64_t sequence_length = basecall.sequence_length;
    collected.sequence.reserve(capped_hint(sequence_length));
    collected.qstring.reserve(capped_hint(sequence_length));
    if (!collected.single_block) {
        collected.moves.reserve(capped_hint(called.move_count()));
    }
    if (const wire::BaseModInfo* base_mod = called.base_mod_info()) {
        basecall.base_mod_alphabet = view_of(base_mod->base_mod_alphabet());
        basecall.base_mod_long_names = view_of(base_mod->base_mod_long_names());
        basecall.base_mod_context = view_of(base_mod->base_mod_context());
        if (basecall.base_mod_alphabet.empty()) {
            return malformed("base modification info without an alphabet");
        }
        collected.channels = 1 + static_cast<std::uint64_t>(
                                     std::count(basecall.base_mod_alphabet.begin(), basecall.base_mod_alphabet.end(), ' '));
        collected.probs_expected = true;
        collected.base_mod_probs.reserve(capped_hint(collected.channels * sequence_length));
        collected.context_mask.reserve(capped_hint(sequence_length));
    }
    return {};
}

// The first block's parts, then those of every block that continues it.
DecodeResult collect_blocks(Collected& collected, const wire::ReadBlock& first, const wire::CalledRead& called,
                            const NextCalledBlock& next) {
    std::string reason;
    if (!collected.append(called, reason)) {
        return malformed(std::move(reason));
    }
    for (std::uint32_t index = 1; index < first.block_count(); ++index) {
        const wire::ReadBlock* block = next ? next() : nullptr;
        if (block == nullptr) {
            return fail(DecodeFailure::failed_continuation, "block " + std::to_string(index) + " of " +
                                                                std::to_string(first.block_count()));
        }
        if (const wire::CalledRead* continued = block->called_read()) {
            if (!collected.append(*continued, reason)) {
                return malformed(std::move(reason));
            }
        }
    }
    return {};
}

// The collected data sets, each only where the target has none of its kind.
DecodeResult store_collected(common::ReadHolder& target, interfaces::BasecallData& basecall, Collected& collected) {
    const std::uint64_t sequence_length = basecall.sequence_length;
    const std::uint64_t channels = collected.channels;
    // A table whose shape does not cover its bytes could not be stored.
    if (collected.probs_received && collected.base_mod_probs.size() != channels * sequence_length) {
        return malformed(std::to_string(collected.base_mod_probs.size()) +
                         " base modification probabilities for " + std::to_string(sequence_length) + " bases of " +
                         std::to_string(channels) + " channels");
    }
    const auto store = [&target](dw::dataset key, auto&& make) {
        if (target.datasets.find(key) == target.datasets.end()) {
            target.datasets.emplace(key, make());
        }
    };
    store(dw::sequence, [&] { return dw::DataSetData(std::move(collected.sequence)); });
    store(dw::qstring, [&] { return dw::DataSetData(std::move(collected.qstring)); });
    if (collected.moves_received) {
        store(dw::movement, [&] {
            return collected.single_block ? dw::DataSetData::copy_of(collected.single_block_moves.data(),
                                                                     collected.single_block_moves.size())
                                          : dw::DataSetData(std::move(collected.moves));
        });
    }
    if (collected.probs_received) {
        const dw::VecView2D<std::uint8_t> shape(nullptr, static_cast<std::size_t>(sequence_length),
                                                 static_cast<std::size_t>(channels));
        store(dw::base_mod_probs, [&] { return dw::DataSetData(std::move(collected.base_mod_probs), shape); });
    }
    if (collected.mask_received) {
        basecall.base_flags = std::move(collected.context_mask);
    }
    return {};
}

}  // namespace

DecodeResult decode_called_block(common::ReadHolder& target, const wire::ReadBlock& first, const NextCalledBlock& next) {
    QOR_EXPECTS(target.metadata != nullptr, "A returned block needs a read record with metadata");
    TraceScope scope(FbbuilderReadHelper::hf_trace_context(), "decode_called_block");
    scope.trace([&] {
        return "read_tag " + std::to_string(first.read_tag()) + " sub_tag " + std::to_string(first.sub_tag()) +
               " blocks " + std::to_string(first.block_count());
    });
    interfaces::ReadMetadata& metadata = *target.metadata;

    apply_strand_identity(metadata, first);
    if (DecodeResult timing = apply_signal_timing(metadata, first); !timing.ok()) {
        return timing;
    }
    const wire::CalledRead* called = first.called_read();
    if (called == nullptr) {
        return malformed("returned block carries no called read");
    }
    if (DecodeResult summary = apply_basecall_summary(metadata, *called); !summary.ok()) {
        return summary;
    }
    apply_poly_tail(metadata, *called);
    if (DecodeResult orientation = apply_orientation(metadata, *called); !orientation.ok()) {
        return orientation;
    }
    apply_umi_and_scaling(metadata, *called);
    apply_barcode(metadata, *called);
    if (called->alignments() != nullptr && called->alignments()->size() != 0) {
        if (DecodeResult alignments = apply_alignments(target, *called->alignments()); !alignments.ok()) {
            return alignments;
        }
    }

    interfaces::BasecallData& basecall = *metadata.basecall_data;
    Collected collected;
    collected.single_block = first.block_count() <= 1;
    if (DecodeResult started = start_collecting(collected, basecall, *called); !started.ok()) {
        return started;
    }
    if (DecodeResult blocks = collect_blocks(collected, first, *called, next); !blocks.ok()) {
        return blocks;
    }
    return store_collected(target, basecall, collected);
}

bool append_packed_bits(std::vector<bool>& flags, std::span<const std::uint8_t> packed, std::uint64_t num_bits) {
    if (num_bits > static_cast<std::uint64_t>(packed.size()) * 8) {
        return false;
    }
    flags.reserve(flags.size() + static_cast<std::size_t>(num_bits));
    for (std::uint64_t bit = 0; bit < num_bits; ++bit) {
        flags.push_back(((packed[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1U) != 0);
    }
    return true;
}

}  // namespace ipc_tools
