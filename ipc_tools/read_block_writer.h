#pragma once

// Writes the blocks of outgoing raw reads.
//
//   ReadBlockWriter writer(builder, room);
//   const auto block = writer.write(read, 0, duration, 0, 1);
//   writer.finish();
//
// A message may carry dozens of blocks, and building each through the
// builder part by part (aligning each, noting where each field went, then
// building and comparing its vtable) costs more than copying a short
// read's samples. So the writer lays a block out itself, lowest address
// first:
//
//   table | read id | strand id | pairing table | gap | samples vector | padding
//
// A field that holds its default is not written, as the protocol asks: a
// block's table holds the fields its shape names (see Shape), side by side,
// the 8-byte ones first after one word. The texts and tables after it are
// whole words, so every part stays aligned once the table starts on 8 bytes,
// which the padding at the end sees to. The strand id is left out, and
// refers to the read id's text, where the two are equal. Blocks of one shape
// share one vtable, and pairing tables of one shape another; each is written
// before the first block that needs it. The texts blocks share (kit, flow
// cell code, end reason, run id) are written once each, before the first
// block that carries them.
//
// The writer takes its room from the builder at once and fills it from the
// top, keeping its place itself rather than asking the builder block by
// block; the builder sees none of it until finish() gives back what is left
// over. Room that runs short is taken as needed (growing the builder), so a
// writer given no room works too, only more slowly.
//
// A block's samples are copied last, once its table, texts and pairing are
// written: in a batch, each copy streams on while the next block is worked
// out, which costs less than copying all samples after all tables.
//
// The tables read back through the generated accessors and pass the
// verifier like any other, once finished. Nothing else may be built in the
// builder between a writer's construction and its finish(). A writer
// belongs to one builder and one thread.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "common/read_model/read_holder.h"
#include "ipc_tools/read_message_builder.h"
#include "ipc_tools/wire_format.h"

namespace ipc_tools {

class ReadBlockWriter {
public:
    // A block's shape: which of the fields that may hold their default it
    // writes, a bit each. The split point (never 0), the read id, the strand
    // id (texts written even when empty) and the samples are always written.
    enum Shape : std::uint32_t {
        // 8 bytes wide (table_bytes counts on their places).
        start_time_field = 1U << 0,
        num_keldrow_events_field = 1U << 1,
        // 4 bytes wide.
        read_tag_field = 1U << 2,
        sub_tag_field = 1U << 3,
        block_index_field = 1U << 4,
        type_field = 1U << 5,  // with the block index: later blocks only
        block_count_field = 1U << 6,
        duration_field = 1U << 7,
        daq_offset_field = 1U << 8,
        daq_scaling_field = 1U << 9,
        sampling_rate_field = 1U << 10,
        open_pore_level_field = 1U << 11,  // its default is NaN, so 0 is written
        pairing_field = 1U << 12,
        sequencing_kit_field = 1U << 13,
        flow_cell_product_code_field = 1U << 14,
        end_reason_field = 1U << 15,
        // The pairing table's (pairing_bytes counts on their places).
        channel_field = 1U << 16,
        mux_field = 1U << 17,
    };
    static constexpr std::uint32_t wide_fields = start_time_field | num_keldrow_events_field;
    static constexpr std::uint32_t block_fields = (end_reason_field << 1) - 1;  // those of the block's own table
    static constexpr std::uint32_t pairing_fields = channel_field | mux_field;

    // A block's table: its vtable offset, split point, both texts and the
    // samples (20 bytes), and its shape's fields. A pairing table: its
    // vtable offset and run id (8 bytes), and its shape's channel and mux.
    static constexpr std::size_t table_bytes(std::uint32_t shape) noexcept {
        // The wide fields count twice.
        return 20 + 4 * (count_fields(shape & block_fields) + (shape & start_time_field) +
                         ((shape & num_keldrow_events_field) >> 1));
    }
    static constexpr std::size_t pairing_bytes(std::uint32_t shape) noexcept {
        return (shape & pairing_field) == 0 ? 0
                                            : 8 + 4 * (((shape & channel_field) >> 16) + ((shape & mux_field) >> 17));
    }

    // The most a block's vtable takes, once per shape (plus up to 1 byte
    // aligning it); and a pairing table's, once per pairing shape.
    static constexpr std::size_t vtable_bytes = wire::ReadBlock::VT_OPEN_PORE_LEVEL + sizeof(flatbuffers::voffset_t);
    static constexpr std::size_t pairing_vtable_bytes =
        wire::PairingInfo::VT_RUN_ID + sizeof(flatbuffers::voffset_t) + 1;

    // Placing a block's samples takes up to a gap word before them and up
    // to 63 bytes of padding after them (see write()).
    static constexpr std::size_t most_placement_bytes = sizeof(flatbuffers::uoffset_t) + 63;

    // A text in a block: its length, its characters, a terminating zero and
    // zeros up to the next 4 bytes.
    static constexpr std::size_t image_text_bytes(std::size_t length) noexcept {
        return sizeof(flatbuffers::uoffset_t) + ((length + 1 + 3) & ~std::size_t{3});
    }

    // Where a block's parts sit in its room, from its lowest address (see
    // above): each of whole words. The samples' gap and padding come on top.
    struct Layout {
        std::size_t read_id_at;  // the table's size
        std::size_t read_id_bytes;
        std::size_t strand_id_at;
        std::size_t strand_id_bytes;  // 0: the strand id refers to the read id's text
        std::size_t pairing_at;
        std::size_t samples_at;       // the samples vector's length
        std::size_t samples_bytes;    // its samples
        std::size_t bytes;            // up to the samples' end

        Layout(std::size_t table_bytes,
               std::size_t pairing_bytes,
               std::string_view read_id,
               std::string_view strand_id,
               std::size_t sample_count) noexcept
            : read_id_at(table_bytes),
              read_id_bytes(image_text_bytes(read_id.size())),
              strand_id_at(read_id_at + read_id_bytes),
              // The client names a strand after its read.
              strand_id_bytes(strand_id == read_id ? 0 : image_text_bytes(strand_id.size())),
              pairing_at(strand_id_at + strand_id_bytes),
              samples_at(pairing_at + pairing_bytes),
              samples_bytes(sample_count * sizeof(std::int16_t)),
              bytes(samples_at + sizeof(flatbuffers::uoffset_t) + samples_bytes) {}
    };

    // The most that write() puts into the buffer for a block of
    // sample_count samples of a read with these texts, of this shape,
    // vtables aside: what the shape takes, and what the read's own texts
    // and samples take. Inline: a batch sizes its buffer read by read.
    static std::size_t block_bytes(std::uint64_t sample_count,
                                   std::string_view read_id,
                                   std::string_view strand_id,
                                   std::uint32_t shape) noexcept {
        return shape_bytes(shape) + own_bytes(sample_count, read_id, strand_id);
    }
    static constexpr std::size_t shape_bytes(std::uint32_t shape) noexcept {
        return table_bytes(shape) + pairing_bytes(shape) + sizeof(flatbuffers::uoffset_t) + most_placement_bytes;
    }
    static std::size_t own_bytes(std::uint64_t sample_count,
                                 std::string_view read_id,
                                 std::string_view strand_id) noexcept {
        // As Layout counts them.
        return image_text_bytes(read_id.size()) + (strand_id == read_id ? 0 : image_text_bytes(strand_id.size())) +
               static_cast<std::size_t>(sample_count) * sizeof(std::int16_t);
    }

    // Whether a read's blocks carry its pairing: only with all three of its
    // values.
    static bool carries_pairing(const interfaces::ReadMetadata& metadata) noexcept {
        return metadata.channel && metadata.mux && !metadata.run_id.empty();
    }

    // The shape of a block of the read (which has its metadata): each
    // value that differs from its default, each text that is not empty. A
    // float equal to 0 (or -0) holds its default, as the FlatBuffers builder
    // has it, and a NaN open pore level its own. Channel and mux count only
    // with pairing. Inline and without branches: sizing a batch finds it for
    // every read.
    [[gnu::always_inline]] static std::uint32_t shape_of(const common::ReadHolder& read,
                                  std::uint32_t block_index,
                                  std::uint32_t block_count) noexcept {
        const interfaces::ReadMetadata& metadata = *read.metadata;
        const auto field_if = [](bool written, std::uint32_t fields) {
            return static_cast<std::uint32_t>(written) * fields;
        };
        const auto float_bits = [](float value) { return std::bit_cast<std::uint32_t>(value) & 0x7FFFFFFFU; };
        constexpr std::uint32_t infinity_bits = 0x7F800000U;
        const std::uint32_t shape =
            field_if(metadata.start_time.value_or(0) != 0, start_time_field) |
            field_if(metadata.num_keldrow_events != 0, num_keldrow_events_field) |
            field_if(static_cast<std::uint32_t>(read.read_tag) != 0, read_tag_field) |
            field_if(static_cast<std::uint32_t>(read.sub_tag) != 0, sub_tag_field) |
            field_if(block_index != 0, block_index_field | type_field) | field_if(block_count != 0, block_count_field) |
            field_if(static_cast<std::uint32_t>(metadata.duration) != 0, duration_field) |
            field_if(float_bits(metadata.daq_offset.value_or(0.0f)) != 0, daq_offset_field) |
            field_if(float_bits(metadata.daq_scaling.value_or(0.0f)) != 0, daq_scaling_field) |
            field_if(float_bits(metadata.sampling_rate) != 0, sampling_rate_field) |
            field_if(float_bits(metadata.open_pore_level) <= infinity_bits, open_pore_level_field) |
            field_if(!metadata.sequencing_kit.empty(), sequencing_kit_field) |
            field_if(!metadata.flow_cell_product_code.empty(), flow_cell_product_code_field) |
            field_if(!metadata.end_reason.empty(), end_reason_field) |
            field_if(metadata.channel.value_or(0) != 0, channel_field) |
            field_if(metadata.mux.value_or(0) != 0, mux_field);
        return carries_pairing(metadata) ? shape | pairing_field : shape & ~pairing_fields;
    }

    // Takes `room` bytes below everything built so far.
    ReadBlockWriter(ReadMessageBuilder& builder, std::size_t room);
    ReadBlockWriter(const ReadBlockWriter&) = delete;
    ReadBlockWriter& operator=(const ReadBlockWriter&) = delete;

    // The block of sample_count samples of the read's raw_data from
    // first_sample, as block block_index of block_count, with the texts it
    // shares written once for all blocks of the writer. The read id and
    // strand id are always written, even empty. Throws std::out_of_range
    // "invalid map<K, T> key" when the read has no raw_data,
    // std::runtime_error "Invalid array type requested." when its samples are
    // not int16, and std::runtime_error when the requested samples run past
    // the data set. Later blocks compare their shared texts with this
    // read's: until finish() the read must stay as it is.
    flatbuffers::Offset<wire::ReadBlock> write(const common::ReadHolder& read,
                                               std::uint64_t first_sample,
                                               std::uint64_t sample_count,
                                               std::uint32_t block_index,
                                               std::uint32_t block_count);

    // Each read whole as the only block of its read, in order: the block of
    // reads[i] goes to blocks[i]. shapes, when given, holds each block's
    // shape_of(*reads[i], 0, 1), as sizing the buffer found it. Throws as
    // write() does; the reads must likewise stay as they are until finish().
    void write_reads(std::span<const common::ReadHolder* const> reads,
                     flatbuffers::Offset<wire::ReadBlock>* blocks,
                     const std::uint32_t* shapes = nullptr);

    // Gives the room left over back to the builder. Once, after the last
    // block.
    void finish() noexcept;

private:
    // The bits set: std::popcount is a library call on x86-64 without
    // -mpopcnt, which a batch would make for every read.
    static constexpr std::size_t count_fields(std::uint32_t fields) noexcept {
        fields = fields - ((fields >> 1) & 0x55555555U);
        fields = (fields & 0x33333333U) + ((fields >> 2) & 0x33333333U);
        return (((fields + (fields >> 4)) & 0x0F0F0F0FU) * 0x01010101U) >> 24;
    }

    // Where the writer stands in its room: the lowest byte written, its
    // distance from the end of the buffer, and the room left below it.
    struct Cursor {
        std::uint8_t* low;
        flatbuffers::uoffset_t size;
        std::size_t free;
    };

    // What the last block carried besides its own fields: the read whose
    // shared texts it carried (an empty one left out), and where they were
    // written. A block that carries the same texts shares them. No read:
    // nothing carried yet.
    struct Carried {
        const interfaces::ReadMetadata* from = nullptr;  // outlives the writer's use
        flatbuffers::uoffset_t kit_text = 0, flow_cell_text = 0, end_reason_text = 0, run_text = 0;
    };

    // A shape's table image: where each field sits from the table's start
    // (a field left out sits at 0, see write_block), the same for the
    // pairing table, and the shape's vtables.
    struct Image {
        std::uint32_t shape = ~0U;  // none yet
        std::size_t table_bytes = 0;
        std::size_t pairing_bytes = 0;
        flatbuffers::voffset_t split_point = 0, start_time = 0, num_keldrow_events = 0, read_tag = 0, sub_tag = 0,
                               block_index = 0, type = 0, block_count = 0, duration = 0, daq_offset = 0,
                               daq_scaling = 0, sampling_rate = 0, open_pore_level = 0, read_id = 0, strand_id = 0,
                               samples = 0, pairing = 0, sequencing_kit = 0, flow_cell_product_code = 0,
                               end_reason = 0;
        flatbuffers::voffset_t channel = 0, mux = 0, run_id = 0;
        flatbuffers::uoffset_t vtable = 0;
        flatbuffers::uoffset_t pairing_vtable = 0;
    };

    Cursor grow(Cursor cursor, std::size_t bytes);
    std::uint8_t* take(Cursor& cursor, std::size_t bytes);
    flatbuffers::uoffset_t write_vtable_image(Cursor& cursor, const std::uint8_t* vtable, std::size_t bytes);
    flatbuffers::uoffset_t block_vtable(Cursor& cursor, const Image& image);
    flatbuffers::uoffset_t pairing_vtable(Cursor& cursor, const Image& image);
    flatbuffers::uoffset_t write_text(Cursor& cursor, std::string_view text);
    flatbuffers::uoffset_t shared_text(Cursor& cursor, std::string_view text);
    Cursor carry(Cursor cursor, const interfaces::ReadMetadata& metadata);
    Cursor take_shape(Cursor cursor, std::uint32_t shape);
    flatbuffers::uoffset_t write_block(Cursor& cursor,
                                       const common::ReadHolder& read,
                                       std::span<const std::int16_t> samples,
                                       std::uint32_t block_index,
                                       std::uint32_t block_count,
                                       std::uint32_t shape);

    // A text stored once, and where.
    struct StoredText {
        std::string_view text;  // into the reads being written, which outlive the writer's use
        flatbuffers::uoffset_t offset = 0;
    };

    ReadMessageBuilder& m_builder;
    Cursor m_cursor;
    bool m_wrote_block = false;
    // Where each shape's block vtable was written, by its block_fields: a
    // batch holds a handful of shapes. Pairing vtables by their channel and
    // mux fields (0: not yet written).
    std::vector<std::pair<std::uint32_t, flatbuffers::uoffset_t>> m_vtables;
    std::array<flatbuffers::uoffset_t, 4> m_pairing_vtables{};
    std::vector<StoredText> m_texts;  // every shared text written
    Carried m_carried;
    Image m_image;  // of the last block's shape
};

}  // namespace ipc_tools
