#pragma once

// Writes the blocks of outgoing raw reads.
//
//   ReadBlockWriter writer(builder);
//   const auto block = writer.write(read, parts);  // after the shared texts
//
// A message may carry dozens of blocks, and building each through the
// builder part by part (aligning each, noting where each field went, then
// building and comparing its vtable) costs more than copying a short
// read's samples. Every raw block has the same fields, so the writer lays
// a block out itself, in one piece of room taken from the builder at once,
// lowest address first:
//
//   table | read id | strand id | pairing table | gap | samples vector | padding
//
// The table is a fixed image whose fields sit aligned without padding; the
// texts and tables after it are whole words, so every part stays aligned
// once the table starts on 8 bytes, which the padding at the end sees to.
// The strand id is left out, and refers to the read id's text, where the two
// are equal. Blocks that leave out the same optional texts share one vtable,
// and all pairing tables another; each is written before the first block
// that needs it.
//
// Blocks are written without their samples, which copy_samples() copies
// afterwards, all at once. A batch thus writes the tables of all its blocks
// while the reads' metadata is still in cache from sizing the buffer, and
// then copies samples as one stream, rather than fetching each read's
// metadata anew from behind the samples copied since.
//
// The tables read back through the generated accessors and pass the
// verifier like any other, once their samples are copied. A writer belongs
// to one builder and one thread.

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

// What a raw block carries besides its read's own fields: its place in the
// read, its samples, and the texts it shares with the other blocks of its
// message, written before it. A null text is left out; a run id brings the
// pairing table with the read's channel and mux.
struct RawBlockParts {
    std::uint32_t block_index = 0;
    std::uint32_t block_count = 1;
    std::span<const std::int16_t> samples;
    flatbuffers::Offset<flatbuffers::String> run_id;
    flatbuffers::Offset<flatbuffers::String> sequencing_kit;
    flatbuffers::Offset<flatbuffers::String> flow_cell_product_code;
    flatbuffers::Offset<flatbuffers::String> end_reason;
};

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

    // blocks: how many blocks the writer will write, to take room for their
    // copies at once.
    explicit ReadBlockWriter(ReadMessageBuilder& builder, std::size_t blocks = 1) : m_builder(builder) {
        m_copies.reserve(blocks);
    }
    ReadBlockWriter(const ReadBlockWriter&) = delete;
    ReadBlockWriter& operator=(const ReadBlockWriter&) = delete;

    // The block of the read (which has its metadata) with these parts,
    // after the shared texts. Its read id and strand id are always written,
    // even empty. The samples wait for copy_samples(): until then they must
    // stay where parts.samples points.
    flatbuffers::Offset<wire::ReadBlock> write(const common::ReadHolder& read, const RawBlockParts& parts);

    // Copies the samples of every block written since the last call.
    void copy_samples() noexcept;

private:
    static constexpr std::size_t optional_count = 4;

    flatbuffers::uoffset_t write_vtable(unsigned present);
    flatbuffers::uoffset_t write_pairing_vtable();

    // A block's samples, copied by copy_samples().
    struct SampleCopy {
        std::uint8_t* to;
        const std::int16_t* from;
        std::size_t bytes;
    };

    ReadMessageBuilder& m_builder;
    std::vector<SampleCopy> m_copies;
    // Where each shape's vtable was written (0: not yet), by the bit set of
    // optional fields present.
    std::array<flatbuffers::uoffset_t, std::size_t{1} << optional_count> m_vtables{};
    flatbuffers::uoffset_t m_pairing_vtable = 0;  // 0: not yet written
};

}  // namespace ipc_tools
