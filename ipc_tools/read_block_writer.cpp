#include "ipc_tools/read_block_writer.h"

#include <cstring>
#include <string_view>

#include "ipc_tools/sample_copy.h"

namespace ipc_tools {

namespace {

using flatbuffers::uoffset_t;
using flatbuffers::voffset_t;
using Block = wire::ReadBlock;

// Where each field sits in the table image, from its start: the vtable
// offset, then the fields widest first so that each is aligned once the
// image starts on 8 bytes.
enum ImageOffset : voffset_t {
    at_vtable = 0,
    at_read_tag = 4,
    at_start_time = 8,
    at_num_keldrow_events = 16,
    at_sub_tag = 24,
    at_block_index = 28,
    at_block_count = 32,
    at_duration = 36,
    at_daq_offset = 40,
    at_daq_scaling = 44,
    at_sampling_rate = 48,
    at_open_pore_level = 52,
    at_split_point = 56,
    at_type = 60,
    at_read_id = 64,
    at_strand_id = 68,
    at_samples = 72,
    at_pairing = 76,
    at_sequencing_kit = 80,
    at_flow_cell_product_code = 84,
    at_end_reason = 88,
};
static_assert(ReadBlockWriter::table_bytes == at_end_reason + sizeof(uoffset_t));
static_assert(sizeof(wire::BlockKind) == 4);

struct Slot {
    voffset_t vtable_entry;
    voffset_t image_offset;
};

// Fields every raw block carries.
constexpr Slot fixed_slots[] = {
    {Block::VT_TYPE, at_type},
    {Block::VT_READ_TAG, at_read_tag},
    {Block::VT_BLOCK_INDEX, at_block_index},
    {Block::VT_BLOCK_COUNT, at_block_count},
    {Block::VT_DURATION, at_duration},
    {Block::VT_DAQ_OFFSET, at_daq_offset},
    {Block::VT_DAQ_SCALING, at_daq_scaling},
    {Block::VT_READ_ID, at_read_id},
    {Block::VT_SAMPLES, at_samples},
    {Block::VT_SUB_TAG, at_sub_tag},
    {Block::VT_STRAND_ID, at_strand_id},
    {Block::VT_START_TIME, at_start_time},
    {Block::VT_NUM_KELDROW_EVENTS, at_num_keldrow_events},
    {Block::VT_SAMPLING_RATE, at_sampling_rate},
    {Block::VT_SPLIT_POINT, at_split_point},
    {Block::VT_OPEN_PORE_LEVEL, at_open_pore_level},
};

// The optional ones, bit i of a shape standing for optional_slots[i].
constexpr Slot optional_slots[] = {
    {Block::VT_PAIRING, at_pairing},
    {Block::VT_SEQUENCING_KIT, at_sequencing_kit},
    {Block::VT_FLOW_CELL_PRODUCT_CODE, at_flow_cell_product_code},
    {Block::VT_END_REASON, at_end_reason},
};

// The pairing table's image: its vtable offset, then channel, mux and run
// id in their vtable order.
enum PairingImageOffset : voffset_t {
    pairing_at_vtable = 0,
    at_channel = 4,
    at_mux = 8,
    at_run_id = 12,
};
static_assert(ReadBlockWriter::pairing_bytes == at_run_id + sizeof(uoffset_t));

template <class T>
void put(std::uint8_t* to, std::size_t at, T value) {
    flatbuffers::WriteScalar(to + at, value);
}

using BlockLayout = ReadBlockWriter::Layout;

// Where a block's samples vector goes: a gap word (0 or 4 bytes) below it,
// after the pairing table, and padding above it up to the block's end.
//
// A short read's samples are copied at the speed of the loads and stores
// that straddle cache lines. Placed at the same offset within a cache line
// as their source, they are copied at about the speed of an aligned copy,
// which matters when a batch copies dozens of them. The block's start stays
// on 8 bytes, as its table needs, which the gap sees to.
struct SamplePlacement {
    std::size_t gap;
    std::size_t padding;
};

constexpr std::size_t cache_line_bytes = 64;
constexpr std::size_t most_gap_bytes = sizeof(uoffset_t);
constexpr std::size_t most_padding_bytes = cache_line_bytes - 1;
static_assert(ReadBlockWriter::most_placement_bytes == most_gap_bytes + most_padding_bytes);

// The placement of a block whose end is to sit at top, with `above` bytes
// built above it up to the end of the buffer. Samples whose source is not on
// 4 bytes (a block starting at an odd sample), or a buffer whose end is not
// on 8 bytes, get the plain layout: no gap, padding to 8 bytes.
SamplePlacement place_samples(const std::uint8_t* top,
                              std::size_t above,
                              const BlockLayout& layout,
                              const std::int16_t* source) {
    const auto top_at = reinterpret_cast<std::uintptr_t>(top);
    const auto source_at = reinterpret_cast<std::uintptr_t>(source);
    if ((top_at + above) % sizeof(std::uint64_t) != 0 || source_at % sizeof(uoffset_t) != 0) {
        return {0, flatbuffers::PaddingBytes(above + layout.bytes, sizeof(std::uint64_t))};
    }
    // Unsigned arithmetic wraps modulo a power of two, which 64 divides.
    const std::size_t padding = (top_at - layout.samples_bytes - source_at) % cache_line_bytes;
    const std::uintptr_t start_without_gap = top_at - padding - layout.bytes;
    return {start_without_gap % sizeof(std::uint64_t), padding};
}

// A text of `bytes` in a block: its length, its characters, then zeros up
// to its end, so that no byte of the block is left unwritten.
void put_text(std::uint8_t* block, std::size_t at, std::string_view text, std::size_t bytes) {
    put(block, at, static_cast<uoffset_t>(text.size()));
    // The last word holds the terminating zero and the padding; the
    // characters may then overwrite its first bytes.
    put(block, at + bytes - sizeof(uoffset_t), uoffset_t{0});
    if (!text.empty()) {
        std::memcpy(block + at + sizeof(uoffset_t), text.data(), text.size());
    }
}

}  // namespace

uoffset_t ReadBlockWriter::write_vtable(unsigned present) {
    std::uint8_t vtable[vtable_bytes] = {};
    put(vtable, 0, static_cast<voffset_t>(vtable_bytes));
    put(vtable, sizeof(voffset_t), static_cast<voffset_t>(table_bytes));
    for (const Slot& slot : fixed_slots) {
        put(vtable, slot.vtable_entry, slot.image_offset);
    }
    for (std::size_t i = 0; i < optional_count; ++i) {
        if ((present & (1U << i)) != 0) {
            put(vtable, optional_slots[i].vtable_entry, optional_slots[i].image_offset);
        }
    }
    m_builder.Align(sizeof(voffset_t));
    m_builder.PushBytes(vtable, vtable_bytes);
    m_vtables[present] = m_builder.GetSize();
    return m_vtables[present];
}

uoffset_t ReadBlockWriter::write_pairing_vtable() {
    constexpr voffset_t vtable_size = wire::PairingInfo::VT_RUN_ID + sizeof(voffset_t);
    std::uint8_t vtable[vtable_size] = {};
    put(vtable, 0, vtable_size);
    put(vtable, sizeof(voffset_t), static_cast<voffset_t>(pairing_bytes));
    put(vtable, wire::PairingInfo::VT_CHANNEL, static_cast<voffset_t>(at_channel));
    put(vtable, wire::PairingInfo::VT_MUX, static_cast<voffset_t>(at_mux));
    put(vtable, wire::PairingInfo::VT_RUN_ID, static_cast<voffset_t>(at_run_id));
    m_builder.Align(sizeof(voffset_t));
    m_builder.PushBytes(vtable, vtable_size);
    m_pairing_vtable = m_builder.GetSize();
    return m_pairing_vtable;
}

flatbuffers::Offset<wire::ReadBlock> ReadBlockWriter::write(const common::ReadHolder& read,
                                                            const RawBlockParts& parts) {
    const interfaces::ReadMetadata& metadata = *read.metadata;
    const bool pairing = parts.run_id.o != 0;
    const BlockLayout layout(metadata.read_id, metadata.strand_id, pairing, parts.samples.size());

    // Vtables are separate pieces, written before the block and so above it;
    // each the first time a block needs it.
    uoffset_t pairing_vtable = m_pairing_vtable;
    if (pairing && pairing_vtable == 0) {
        pairing_vtable = write_pairing_vtable();
    }
    const unsigned present = (pairing ? 1U : 0U) | (parts.sequencing_kit.o != 0 ? 2U : 0U) |
                             (parts.flow_cell_product_code.o != 0 ? 4U : 0U) | (parts.end_reason.o != 0 ? 8U : 0U);
    uoffset_t vtable = m_vtables[present];
    if (vtable == 0) {
        vtable = write_vtable(present);
    }

    // The block takes the most it may need, then gives back what its
    // placement leaves over (from its low end, where nothing lies yet).
    m_builder.TrackMinAlign(sizeof(std::uint64_t));
    const std::size_t most = layout.bytes + most_placement_bytes;
    std::uint8_t* const lowest = m_builder.reserve(most);
    const SamplePlacement placement =
        place_samples(lowest + most, m_builder.GetSize() - most, layout, parts.samples.data());
    const std::size_t used = layout.bytes + placement.gap + placement.padding;
    m_builder.PopBytes(most - used);
    std::uint8_t* const block = lowest + (most - used);
    const std::size_t samples_at = layout.samples_at + placement.gap;

    // Positions count from the end of the buffer: the block's byte k will
    // sit at table - k. A reference is the distance from the referring
    // field up to its target; a null target leaves an optional field out,
    // its slot zero.
    const uoffset_t table = m_builder.GetSize();
    const auto place = [table](std::size_t at) { return table - static_cast<uoffset_t>(at); };
    const auto refer = [table](std::size_t at, uoffset_t target) {
        return table - static_cast<uoffset_t>(at) - target;
    };
    const auto refer_optional = [&refer](std::size_t at, uoffset_t target) {
        return target != 0 ? refer(at, target) : uoffset_t{0};
    };
    const uoffset_t read_id = place(layout.read_id_at);
    const uoffset_t strand_id = layout.strand_id_bytes != 0 ? place(layout.strand_id_at) : read_id;

    // The block is longer than a cache line, and its padding shorter:
    // zeroing its last line, before anything else goes in, clears the
    // padding without touching what lies above. (A copy of a fixed 64 bytes
    // is a few stores; a memset of them, a call.)
    static constexpr std::uint8_t zero_line[cache_line_bytes] = {};
    static_assert(table_bytes > cache_line_bytes && most_padding_bytes < cache_line_bytes);
    std::memcpy(block + used - cache_line_bytes, zero_line, cache_line_bytes);
    if (placement.gap != 0) {
        put(block, layout.samples_at, uoffset_t{0});
    }
    put(block, samples_at, static_cast<uoffset_t>(parts.samples.size()));
    if (!parts.samples.empty()) {
        m_copies.push_back({block + samples_at + sizeof(uoffset_t), parts.samples.data(), layout.samples_bytes});
    }
    // The vtables were written before the block, so they lie above it.
    put(block, at_vtable, static_cast<flatbuffers::soffset_t>(vtable) - static_cast<flatbuffers::soffset_t>(table));
    put(block, at_read_tag, static_cast<std::uint32_t>(read.read_tag));
    put(block, at_start_time, metadata.start_time.value_or(0));
    put(block, at_num_keldrow_events, metadata.num_keldrow_events);
    put(block, at_sub_tag, static_cast<std::uint32_t>(read.sub_tag));
    put(block, at_block_index, parts.block_index);
    put(block, at_block_count, parts.block_count);
    put(block, at_duration, static_cast<std::uint32_t>(metadata.duration));
    put(block, at_daq_offset, metadata.daq_offset.value_or(0.0f));
    put(block, at_daq_scaling, metadata.daq_scaling.value_or(0.0f));
    put(block, at_sampling_rate, metadata.sampling_rate);
    put(block, at_open_pore_level, metadata.open_pore_level);
    // A raw block is never split.
    put(block, at_split_point, std::int32_t{-1});
    put(block, at_type, static_cast<std::int32_t>(parts.block_index == 0 ? wire::BlockKind::FIRST_RAW_BLOCK
                                                                          : wire::BlockKind::NEXT_RAW_BLOCK));
    put(block, at_read_id, refer(at_read_id, read_id));
    put(block, at_strand_id, refer(at_strand_id, strand_id));
    put(block, at_samples, refer(at_samples, place(samples_at)));
    put(block, at_pairing, refer_optional(at_pairing, pairing ? place(layout.pairing_at) : 0));
    put(block, at_sequencing_kit, refer_optional(at_sequencing_kit, parts.sequencing_kit.o));
    put(block, at_flow_cell_product_code, refer_optional(at_flow_cell_product_code, parts.flow_cell_product_code.o));
    put(block, at_end_reason, refer_optional(at_end_reason, parts.end_reason.o));
    put_text(block, layout.read_id_at, metadata.read_id, layout.read_id_bytes);
    if (layout.strand_id_bytes != 0) {
        put_text(block, layout.strand_id_at, metadata.strand_id, layout.strand_id_bytes);
    }
    if (pairing) {
        const std::size_t at = layout.pairing_at;
        put(block, at + pairing_at_vtable,
            static_cast<flatbuffers::soffset_t>(pairing_vtable) - static_cast<flatbuffers::soffset_t>(place(at)));
        put(block, at + at_channel, *metadata.channel);
        put(block, at + at_mux, static_cast<std::int32_t>(*metadata.mux));
        put(block, at + at_run_id, refer(at + at_run_id, parts.run_id.o));
    }
    return flatbuffers::Offset<wire::ReadBlock>(table);
}

void ReadBlockWriter::copy_samples() noexcept {
    for (const SampleCopy& copy : m_copies) {
        ipc_tools::copy_samples(copy.to, copy.from, copy.bytes);
    }
    m_copies.clear();
}

}  // namespace ipc_tools
