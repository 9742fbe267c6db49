#pragma once

// Writes the blocks of outgoing raw reads.
//
//   ReadBlockWriter writer(builder, room);
//   const auto block = writer.write(read, 0, duration, 0, 1);
//   writer.finish();  // copies the samples
//
// A message may carry dozens of blocks, and building each through the
// builder part by part (aligning each, noting where each field went, then
// building and comparing its vtable) costs more than copying a short
// read's samples. Every raw block has the same fields, so the writer lays
// a block out itself, lowest address first:
//
//   table | read id | strand id | pairing table | gap | samples vector | padding
//
// The table is a fixed image whose fields sit aligned without padding; the
// texts and tables after it are whole words, so every part stays aligned
// once the table starts on 8 bytes, which the padding at the end sees to.
// The strand id is left out, and refers to the read id's text, where the two
// are equal. Blocks that leave out the same optional texts share one vtable,
// and all pairing tables another; each is written before the first block
// that needs it. The texts blocks share (kit, flow cell code, end reason,
// run id) are written once each, before the first block that carries them.
//
// The writer takes its room from the builder at once and fills it from the
// top, keeping its place itself rather than asking the builder block by
// block; the builder sees none of it until finish() gives back what is left
// over. Room that runs short is taken as needed (growing the builder), so a
// writer given no room works too, only more slowly.
//
// Blocks are written without their samples, which finish() copies
// afterwards, all at once. A batch thus writes the tables of all its blocks
// while the reads' metadata is still in cache from sizing the buffer, and
// then copies samples as one stream, rather than fetching each read's
// metadata anew from behind the samples copied since.
//
// The tables read back through the generated accessors and pass the
// verifier like any other, once finished. Nothing else may be built in the
// builder between a writer's construction and its finish(). A writer
// belongs to one builder and one thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "common/read_holder.h"
#include "ipc_tools/read_message_builder.h"
#include "ipc_tools/wire_format.h"

namespace ipc_tools {

class ReadBlockWriter {
public:
    // What a block's table takes, and once per shape its vtable (plus up to
    // 1 byte aligning it). A pairing table, and its one vtable with its
    // alignment.
    static constexpr std::size_t table_bytes = 92;
    static constexpr std::size_t vtable_bytes = wire::ReadBlock::VT_OPEN_PORE_LEVEL + sizeof(flatbuffers::voffset_t);
    static constexpr std::size_t pairing_bytes = 16;
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
        static constexpr std::size_t read_id_at = table_bytes;
        std::size_t read_id_bytes;
        std::size_t strand_id_at;
        std::size_t strand_id_bytes;  // 0: the strand id refers to the read id's text
        std::size_t pairing_at;
        std::size_t samples_at;       // the samples vector's length
        std::size_t samples_bytes;    // its samples
        std::size_t bytes;            // up to the samples' end

        Layout(std::string_view read_id, std::string_view strand_id, bool pairing, std::size_t sample_count) noexcept
            : read_id_bytes(image_text_bytes(read_id.size())),
              strand_id_at(read_id_at + read_id_bytes),
              // The client names a strand after its read.
              strand_id_bytes(strand_id == read_id ? 0 : image_text_bytes(strand_id.size())),
              pairing_at(strand_id_at + strand_id_bytes),
              samples_at(pairing_at + (pairing ? pairing_bytes : 0)),
              samples_bytes(sample_count * sizeof(std::int16_t)),
              bytes(samples_at + sizeof(flatbuffers::uoffset_t) + samples_bytes) {}
    };

    // The most that write() puts into the buffer for a block of
    // sample_count samples of a read with these texts, vtables aside.
    // Inline: a batch sizes its buffer read by read.
    static std::size_t block_bytes(std::uint64_t sample_count,
                                   std::string_view read_id,
                                   std::string_view strand_id,
                                   bool pairing) noexcept {
        return Layout(read_id, strand_id, pairing, static_cast<std::size_t>(sample_count)).bytes +
               most_placement_bytes;
    }

    // Whether a read's blocks carry its pairing: only with all three of its
    // values.
    static bool carries_pairing(const interfaces::ReadMetadata& metadata) noexcept {
        return metadata.channel && metadata.mux && !metadata.run_id.empty();
    }

    // Takes `room` bytes below everything built so far. blocks: how many
    // blocks the writer will write, to take room for their copies at once.
    ReadBlockWriter(ReadMessageBuilder& builder, std::size_t room, std::size_t blocks = 1);
    ReadBlockWriter(const ReadBlockWriter&) = delete;
    ReadBlockWriter& operator=(const ReadBlockWriter&) = delete;

    // The block of sample_count samples of the read's raw_data from
    // first_sample, as block block_index of block_count, with the texts it
    // shares written once for all blocks of the writer. The read id and
    // strand id are always written, even empty. Throws std::out_of_range
    // "invalid map<K, T> key" when the read has no raw_data,
    // std::runtime_error "Invalid array type requested." when its samples are
    // not int16, and std::runtime_error when the requested samples run past
    // the data set. The samples wait for finish(), and later blocks compare
    // their shared texts with this read's: until finish() the read must stay
    // as it is.
    flatbuffers::Offset<wire::ReadBlock> write(const common::ReadHolder& read,
                                               std::uint64_t first_sample,
                                               std::uint64_t sample_count,
                                               std::uint32_t block_index,
                                               std::uint32_t block_count);

    // Each read whole as the only block of its read, in order: the block of
    // reads[i] goes to blocks[i]. Throws as write() does; the reads must
    // likewise stay as they are until finish().
    void write_reads(std::span<const common::ReadHolder* const> reads, flatbuffers::Offset<wire::ReadBlock>* blocks);

    // Copies the samples of every block written, and gives the room left
    // over back to the builder. Once, after the last block.
    void finish() noexcept;

private:
    static constexpr std::size_t optional_count = 4;

    // Where the writer stands in its room: the lowest byte written, its
    // distance from the end of the buffer, and the room left below it.
    struct Cursor {
        std::uint8_t* low;
        flatbuffers::uoffset_t size;
        std::size_t free;
    };

    // What the last block carried besides its own fields: the read whose
    // shared texts it carried (an empty one left out), where they were
    // written, and its vtables. A block that carries the same texts has the
    // same shape, so shares all of it. No read: nothing carried yet.
    struct Carried {
        const interfaces::ReadMetadata* from = nullptr;  // outlives the writer's use
        flatbuffers::uoffset_t kit_text = 0, flow_cell_text = 0, end_reason_text = 0, run_text = 0;
        flatbuffers::uoffset_t vtable = 0;
        flatbuffers::uoffset_t pairing_vtable = 0;
    };

    // A block's samples, copied by finish(): to where, as a distance from
    // the buffer's end, which stays right if the builder grows.
    struct SampleCopy {
        // Left unset: room for copies is taken for a whole batch at once,
        // and each is written before it is read.
        SampleCopy() noexcept {}  // NOLINT(modernize-use-equals-default): = default would zero them
        SampleCopy(flatbuffers::uoffset_t to_, const std::int16_t* from_, std::size_t bytes_) noexcept
            : to(to_), from(from_), bytes(bytes_) {}

        flatbuffers::uoffset_t to;
        const std::int16_t* from;
        std::size_t bytes;
    };

    Cursor grow(Cursor cursor, std::size_t bytes);
    std::uint8_t* take(Cursor& cursor, std::size_t bytes);
    flatbuffers::uoffset_t write_vtable_image(Cursor& cursor, const std::uint8_t* vtable, std::size_t bytes);
    flatbuffers::uoffset_t write_vtable(Cursor& cursor, unsigned present);
    flatbuffers::uoffset_t write_pairing_vtable(Cursor& cursor);
    flatbuffers::uoffset_t write_text(Cursor& cursor, std::string_view text);
    flatbuffers::uoffset_t shared_text(Cursor& cursor, std::string_view text);
    Cursor carry(Cursor cursor, const interfaces::ReadMetadata& metadata);
    flatbuffers::uoffset_t write_block(Cursor& cursor,
                                       SampleCopy*& copies,
                                       const common::ReadHolder& read,
                                       std::span<const std::int16_t> samples,
                                       std::uint32_t block_index,
                                       std::uint32_t block_count);

    // A text stored once, and where.
    struct StoredText {
        std::string_view text;  // into the reads being written, which outlive the writer's use
        flatbuffers::uoffset_t offset = 0;
    };

    ReadMessageBuilder& m_builder;
    Cursor m_cursor;
    bool m_wrote_block = false;
    std::vector<SampleCopy> m_copies;
    // Where each shape's vtable was written (0: not yet), by the bit set of
    // optional fields present.
    std::array<flatbuffers::uoffset_t, std::size_t{1} << optional_count> m_vtables{};
    flatbuffers::uoffset_t m_pairing_vtable = 0;  // 0: not yet written
    std::vector<StoredText> m_texts;              // every shared text written
    Carried m_carried;
};

}  // namespace ipc_tools
