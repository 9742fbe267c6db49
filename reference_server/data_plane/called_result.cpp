#include "reference_server/data_plane/called_result.h"

#include <algorithm>
#include <string_view>

#include <flatbuffers/flatbuffers.h>

#include "ipc_tools/wire_format.h"

namespace reference_server {

namespace {

namespace wire = ipc_tools::wire;

struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Block index of count blocks over size items, in near-equal shares.
Span share(std::size_t size, std::size_t index, std::size_t count) {
    return {size * index / count, size * (index + 1) / count};
}

std::size_t block_count_of(const CalledResult& result, std::uint32_t max_bases_per_block) {
    const std::size_t bases = result.sequence.size();
    const std::size_t per_block = std::max<std::uint32_t>(1, max_bases_per_block);
    return std::max<std::size_t>(1, (bases + per_block - 1) / per_block);
}

std::size_t channel_count(const CalledResult& result) {
    if (!result.base_mod) {
        return 0;
    }
    return 1 + static_cast<std::size_t>(std::count(result.base_mod->alphabet.begin(), result.base_mod->alphabet.end(), ' '));
}

// Room for one of count blocks of a result, so that building it rarely
// reallocates: its share of the per-base and per-move data plus the texts
// and fields of a first block.
std::size_t block_capacity(const CalledResult& result, std::size_t count) {
    constexpr std::size_t fixed_fields = 1024;
    std::size_t bytes = result.sequence.size() + result.qstring.size() + result.base_mod_probs.size() +
                        result.sequence.size() / 8;
    if (result.moves) {
        bytes += result.moves->size();
    }
    std::size_t texts = result.strand_id.size() + result.model_version_id.size() +
                        result.modbase_model_version_id.size();
    for (const AlignmentHit& hit : result.alignments) {
        texts += hit.genome.size() + hit.sam_record.size() + hit.bed_lines.size() + 128;
    }
    return bytes / count + texts + fixed_fields;
}

flatbuffers::Offset<flatbuffers::String> optional_string(flatbuffers::FlatBufferBuilder& builder,
                                                         const std::optional<std::string>& text) {
    return text ? builder.CreateString(*text) : flatbuffers::Offset<flatbuffers::String>();
}

flatbuffers::Offset<flatbuffers::String> text_of(flatbuffers::FlatBufferBuilder& builder, std::string_view text) {
    return text.empty() ? flatbuffers::Offset<flatbuffers::String>() : builder.CreateString(text);
}

std::vector<std::uint8_t> pack_bits(const std::vector<bool>& flags, Span span) {
    std::vector<std::uint8_t> packed((span.end - span.begin + 7) / 8, 0);
    for (std::size_t i = span.begin; i < span.end; ++i) {
        if (flags[i]) {
            const std::size_t bit = i - span.begin;
            packed[bit / 8] = static_cast<std::uint8_t>(packed[bit / 8] | (1U << (bit % 8)));
        }
    }
    return packed;
}

flatbuffers::Offset<wire::AlignmentResult> build_alignment(flatbuffers::FlatBufferBuilder& builder,
                                                           const AlignmentHit& hit) {
    const auto genome = text_of(builder, hit.genome);
    const auto sam_record = text_of(builder, hit.sam_record);
    const auto bed_lines = text_of(builder, hit.bed_lines);
    wire::AlignmentResultBuilder alignment(builder);
    alignment.add_genome(genome);
    alignment.add_genome_start(hit.genome_start);
    alignment.add_genome_end(hit.genome_end);
    alignment.add_strand_start(hit.strand_start);
    alignment.add_strand_end(hit.strand_end);
    alignment.add_num_events(hit.num_events);
    alignment.add_num_insertions(hit.num_insertions);
    alignment.add_num_deletions(hit.num_deletions);
    alignment.add_num_aligned(hit.num_aligned);
    alignment.add_num_correct(hit.num_correct);
    alignment.add_coverage(hit.coverage);
    alignment.add_identity(hit.identity);
    alignment.add_accuracy(hit.accuracy);
    alignment.add_strand_score(hit.strand_score);
    alignment.add_sam_record(sam_record);
    alignment.add_bed_hits(hit.bed_hits);
    alignment.add_bed_lines(bed_lines);
    alignment.add_direction(static_cast<std::uint8_t>(hit.direction));
    alignment.add_mapping_quality(hit.mapping_quality);
    alignment.add_is_secondary(hit.is_secondary);
    alignment.add_is_supplementary(hit.is_supplementary);
    return alignment.Finish();
}

// What every block carries: its stretch of the per-base and per-move data.
struct BlockParts {
    flatbuffers::Offset<flatbuffers::String> sequence;
    flatbuffers::Offset<flatbuffers::String> qstring;
    flatbuffers::Offset<flatbuffers::Vector<std::uint8_t>> moves;
    flatbuffers::Offset<flatbuffers::Vector<std::uint8_t>> base_mod_probs;
    flatbuffers::Offset<flatbuffers::Vector<std::uint8_t>> context_mask;
};

BlockParts build_parts(flatbuffers::FlatBufferBuilder& builder,
                       const CalledResult& result,
                       std::size_t index,
                       std::size_t count,
                       std::uint32_t max_bases_per_block) {
    const std::size_t per_block = std::max<std::uint32_t>(1, max_bases_per_block);
    const std::size_t bases = result.sequence.size();
    const Span base_span{std::min(bases, index * per_block), std::min(bases, (index + 1) * per_block)};
    const auto slice = [&](const std::string& text) {
        const std::size_t begin = std::min(text.size(), base_span.begin);
        const std::size_t end = std::min(text.size(), base_span.end);
        return builder.CreateString(text.data() + begin, end - begin);
    };

    BlockParts parts;
    parts.sequence = slice(result.sequence);
    parts.qstring = slice(result.qstring);
    if (result.moves) {
        const Span moves = share(result.moves->size(), index, count);
        parts.moves = builder.CreateVector(result.moves->data() + moves.begin, moves.end - moves.begin);
    }
    if (result.base_mod) {
        const std::size_t channels = channel_count(result);
        const std::size_t begin = std::min(result.base_mod_probs.size(), base_span.begin * channels);
        const std::size_t end = std::min(result.base_mod_probs.size(), base_span.end * channels);
        parts.base_mod_probs = builder.CreateVector(result.base_mod_probs.data() + begin, end - begin);
    }
    if (result.base_mod_context_mask) {
        const std::vector<bool>& mask = *result.base_mod_context_mask;
        const Span mask_span{std::min(mask.size(), base_span.begin), std::min(mask.size(), base_span.end)};
        parts.context_mask = builder.CreateVector(pack_bits(mask, mask_span));
    }
    return parts;
}

flatbuffers::Offset<wire::CalledRead> build_first_called_read(flatbuffers::FlatBufferBuilder& builder,
                                                              const CalledResult& result,
                                                              const BlockParts& parts) {
    flatbuffers::Offset<wire::ScalingInfo> scaling;
    if (result.scaling) {
        scaling = wire::CreateScalingInfo(builder, result.scaling->median, result.scaling->med_abs_dev,
                                          optional_string(builder, result.scaling->version));
    }
    flatbuffers::Offset<wire::BaseModInfo> base_mod;
    if (result.base_mod) {
        base_mod = wire::CreateBaseModInfo(builder, text_of(builder, result.base_mod->alphabet),
                                           text_of(builder, result.base_mod->long_names),
                                           text_of(builder, result.base_mod->context));
    }
    flatbuffers::Offset<wire::BarcodeResult> barcode;
    if (result.barcode) {
        const auto end_of = [&builder](const std::optional<BarcodeEnd>& end) {
            return end ? wire::CreateBarcodeEndResult(builder, end->score, end->index, end->foundseq_length)
                       : flatbuffers::Offset<wire::BarcodeEndResult>();
        };
        const auto front = end_of(result.barcode->front);
        const auto rear = end_of(result.barcode->rear);
        barcode = wire::CreateBarcodeResult(builder, text_of(builder, result.barcode->arrangement),
                                            text_of(builder, result.barcode->kit),
                                            text_of(builder, result.barcode->variant), result.barcode->score, front,
                                            rear);
    }
    flatbuffers::Offset<wire::BarcodeTrim> barcode_trim;
    if (result.barcode_trim) {
        barcode_trim = wire::CreateBarcodeTrim(builder, result.barcode_trim->trim_front, result.barcode_trim->trim_rear);
    }
    flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<wire::AlignmentResult>>> alignments;
    if (!result.alignments.empty()) {
        std::vector<flatbuffers::Offset<wire::AlignmentResult>> hits;
        for (const AlignmentHit& hit : result.alignments) {
            hits.push_back(build_alignment(builder, hit));
        }
        alignments = builder.CreateVector(hits);
    }
    flatbuffers::Offset<wire::PolyTailResult> poly_tail;
    if (result.poly_tail) {
        poly_tail = wire::CreatePolyTailResult(builder, result.poly_tail->length, result.poly_tail->anchor,
                                               result.poly_tail->start_1, result.poly_tail->end_1,
                                               result.poly_tail->start_2, result.poly_tail->end_2);
    }
    const auto model_version_id = text_of(builder, result.model_version_id);
    const auto modbase_model_version_id = text_of(builder, result.modbase_model_version_id);
    const auto umi_tag_sequence = optional_string(builder, result.umi_tag_sequence);

    wire::CalledReadBuilder called(builder);
    called.add_move_count(result.moves ? static_cast<std::uint32_t>(result.moves->size()) : 0);
    called.add_sequence_length(static_cast<std::uint32_t>(result.sequence.size()));
    called.add_mean_qscore(result.mean_qscore);
    called.add_median(result.median);
    called.add_med_abs_dev(result.med_abs_dev);
    called.add_model_stride(result.model_stride);
    called.add_trimmed_samples(result.trimmed_samples);
    called.add_sequence(parts.sequence);
    called.add_qstring(parts.qstring);
    called.add_scaling(scaling);
    called.add_moves(parts.moves);
    called.add_base_mod_info(base_mod);
    called.add_base_mod_probs(parts.base_mod_probs);
    called.add_barcode(barcode);
    called.add_barcode_trim(barcode_trim);
    called.add_alignments(alignments);
    called.add_model_version_id(model_version_id);
    called.add_modbase_model_version_id(modbase_model_version_id);
    called.add_strand_orientation_code(result.strand_orientation_code);
    called.add_umi_tag_sequence(umi_tag_sequence);
    called.add_poly_tail(poly_tail);
    called.add_base_mod_context_mask(parts.context_mask);
    return called.Finish();
}

flatbuffers::Offset<wire::ReadBlock> build_called_block(flatbuffers::FlatBufferBuilder& builder,
                                                        const CalledResult& result,
                                                        std::size_t index,
                                                        std::size_t count,
                                                        std::uint32_t max_bases_per_block) {
    const BlockParts parts = build_parts(builder, result, index, count, max_bases_per_block);
    flatbuffers::Offset<wire::CalledRead> called;
    if (index == 0) {
        called = build_first_called_read(builder, result, parts);
    } else {
        wire::CalledReadBuilder next(builder);
        next.add_sequence(parts.sequence);
        next.add_qstring(parts.qstring);
        next.add_moves(parts.moves);
        next.add_base_mod_probs(parts.base_mod_probs);
        next.add_base_mod_context_mask(parts.context_mask);
        called = next.Finish();
    }
    const auto strand_id = text_of(builder, result.strand_id);
    flatbuffers::Offset<flatbuffers::String> duplex_1;
    flatbuffers::Offset<flatbuffers::String> duplex_2;
    if (index == 0 && result.duplex_strands) {
        duplex_1 = builder.CreateString(result.duplex_strands->first);
        duplex_2 = builder.CreateString(result.duplex_strands->second);
    }

    wire::ReadBlockBuilder block(builder);
    block.add_type(index == 0 ? wire::BlockKind::FIRST_CALLED_BLOCK : wire::BlockKind::NEXT_CALLED_BLOCK);
    block.add_read_tag(result.read_tag);
    block.add_sub_tag(result.sub_tag);
    block.add_block_index(static_cast<std::uint32_t>(index));
    block.add_block_count(static_cast<std::uint32_t>(count));
    block.add_strand_id(strand_id);
    block.add_called_read(called);
    if (index == 0) {
        block.add_duration(result.duration);
        block.add_start_time(result.start_time);
        block.add_num_keldrow_events(result.num_keldrow_events);
        if (result.split_point) {
            block.add_split_point(*result.split_point);
        }
        block.add_duplex_strand_1(duplex_1);
        block.add_duplex_strand_2(duplex_2);
        block.add_is_duplex_parent(result.is_duplex_parent);
    }
    return block.Finish();
}

}  // namespace

std::size_t held_bytes(const CalledResult& result) {
    std::size_t bytes = sizeof(CalledResult) + result.strand_id.size() + result.sequence.size() +
                        result.qstring.size() + result.base_mod_probs.size() + result.model_version_id.size() +
                        result.modbase_model_version_id.size();
    if (result.moves) {
        bytes += result.moves->size();
    }
    if (result.base_mod_context_mask) {
        bytes += result.base_mod_context_mask->size() / 8;
    }
    for (const AlignmentHit& hit : result.alignments) {
        bytes += sizeof(AlignmentHit) + hit.genome.size() + hit.sam_record.size() + hit.bed_lines.size();
    }
    return bytes;
}

std::vector<ipc_tools::Message> make_called_block_replies(const CalledResult& result,
                                                          const std::string& client_id,
                                                          std::uint32_t max_bases_per_block) {
    const std::size_t count = block_count_of(result, max_bases_per_block);
    std::vector<ipc_tools::Message> replies;
    replies.reserve(count);
    for (std::size_t index = 0; index < count; ++index) {
        flatbuffers::FlatBufferBuilder builder(block_capacity(result, count));
        const auto block = build_called_block(builder, result, index, count, max_bases_per_block);
        ipc_tools::finish_envelope(builder, client_id, wire::MessageData::ReadBlock, block.Union());
        replies.emplace_back(builder);
    }
    return replies;
}

CompletedBatchReply make_completed_batch_reply(const std::vector<CalledResult>& results,
                                               const std::string& client_id,
                                               std::uint32_t max_bases_per_block) {
    return make_completed_batch_reply(results, client_id, max_bases_per_block, wire::BatchKind::COMPLETED_BATCH);
}

CompletedBatchReply make_completed_batch_reply(const std::vector<CalledResult>& results,
                                               const std::string& client_id,
                                               std::uint32_t max_bases_per_block,
                                               wire::BatchKind kind) {
    CompletedBatchReply reply;
    std::size_t capacity = 0;
    for (const CalledResult& result : results) {
        capacity += block_capacity(result, block_count_of(result, max_bases_per_block));
    }
    flatbuffers::FlatBufferBuilder builder(capacity);
    std::vector<flatbuffers::Offset<wire::ReadBlock>> blocks;
    blocks.reserve(results.size());
    for (const CalledResult& result : results) {
        const std::size_t count = block_count_of(result, max_bases_per_block);
        blocks.push_back(build_called_block(builder, result, 0, count, max_bases_per_block));

        std::vector<ipc_tools::Message> continuation;
        for (std::size_t index = 1; index < count; ++index) {
            flatbuffers::FlatBufferBuilder next(block_capacity(result, count));
            const auto block = build_called_block(next, result, index, count, max_bases_per_block);
            ipc_tools::finish_envelope(next, client_id, wire::MessageData::ReadBlock, block.Union());
            continuation.emplace_back(next);
        }
        reply.continuations.push_back(std::move(continuation));
    }
    const auto batch = wire::CreateReadBatch(builder, kind, builder.CreateVector(blocks));
    ipc_tools::finish_envelope(builder, client_id, wire::MessageData::ReadBatch, batch.Union());
    reply.batch = ipc_tools::Message(builder);
    return reply;
}

}  // namespace reference_server
