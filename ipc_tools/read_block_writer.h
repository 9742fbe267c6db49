#pragma once

// Writes the ReadBlock tables of outgoing raw reads.
//
//   ReadBlockWriter writer(builder);
//   const auto block = writer.write(fields);  // after the texts and samples
//
// A message may carry dozens of blocks, and laying out a table field by
// field (aligning each, noting where it went, then building and comparing
// its vtable) costs more than copying a short read's samples. Every raw
// block has the same fields, so the writer lays the table out once, as a
// fixed image whose fields sit aligned without padding, and shares one
// vtable among the blocks that leave out the same optional texts. Their
// pairing tables, one per block, are written the same way.
//
// The tables read back through the generated accessors and pass the
// verifier like any other. A writer belongs to one builder and one thread.

#include <array>
#include <cstddef>
#include <cstdint>

#include <flatbuffers/flatbuffers.h>

#include "ipc_tools/wire_format.h"

namespace ipc_tools {

// A raw block's fields; a null offset leaves that field out.
struct RawBlockFields {
    std::uint64_t start_time = 0;
    std::uint64_t num_keldrow_events = 0;
    std::uint32_t read_tag = 0;
    std::uint32_t sub_tag = 0;
    std::uint32_t block_index = 0;
    std::uint32_t block_count = 0;
    std::uint32_t duration = 0;
    float daq_offset = 0.0f;
    float daq_scaling = 0.0f;
    float sampling_rate = 0.0f;
    float open_pore_level = 0.0f;
    std::int32_t split_point = -1;
    wire::BlockKind type = wire::BlockKind::FIRST_RAW_BLOCK;
    flatbuffers::Offset<flatbuffers::String> read_id;  // required
    flatbuffers::Offset<flatbuffers::String> strand_id;  // required
    flatbuffers::Offset<flatbuffers::Vector<std::int16_t>> samples;  // required
    flatbuffers::Offset<wire::PairingInfo> pairing;
    flatbuffers::Offset<flatbuffers::String> sequencing_kit;
    flatbuffers::Offset<flatbuffers::String> flow_cell_product_code;
    flatbuffers::Offset<flatbuffers::String> end_reason;
};

class ReadBlockWriter {
public:
    // What a block takes in the buffer: its table image (plus up to 7 bytes
    // aligning it) and, once per shape, its vtable (plus up to 1). The same
    // for a pairing table, whose vtable is written once.
    static constexpr std::size_t table_bytes = 92;
    static constexpr std::size_t vtable_bytes = wire::ReadBlock::VT_OPEN_PORE_LEVEL + sizeof(flatbuffers::voffset_t);
    static constexpr std::size_t pairing_bytes = 16 + 3;
    static constexpr std::size_t pairing_vtable_bytes =
        wire::PairingInfo::VT_RUN_ID + sizeof(flatbuffers::voffset_t) + 1;

    explicit ReadBlockWriter(flatbuffers::FlatBufferBuilder& builder) noexcept : m_builder(builder) {}
    ReadBlockWriter(const ReadBlockWriter&) = delete;
    ReadBlockWriter& operator=(const ReadBlockWriter&) = delete;

    // Before the block's own table, like its texts.
    flatbuffers::Offset<wire::PairingInfo> write_pairing(std::int32_t channel,
                                                         std::int32_t mux,
                                                         flatbuffers::Offset<flatbuffers::String> run_id);
    flatbuffers::Offset<wire::ReadBlock> write(const RawBlockFields& fields);

private:
    static constexpr std::size_t optional_count = 4;

    flatbuffers::uoffset_t vtable_for(unsigned present);

    flatbuffers::FlatBufferBuilder& m_builder;
    // Where each shape's vtable was written (0: not yet), by the bit set of
    // optional fields present.
    std::array<flatbuffers::uoffset_t, std::size_t{1} << optional_count> m_vtables{};
    flatbuffers::uoffset_t m_pairing_vtable = 0;  // 0: not yet written
};

}  // namespace ipc_tools
