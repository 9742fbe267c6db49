#include "ipc_tools/read_block_writer.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/contract.h"
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
[[gnu::always_inline]] inline SamplePlacement place_samples(const std::uint8_t* top,
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
[[gnu::always_inline]] inline void put_text(std::uint8_t* block, std::size_t at, std::string_view text, std::size_t bytes) {
    put(block, at, static_cast<uoffset_t>(text.size()));
    // The last word holds the terminating zero and the padding; the
    // characters may then overwrite its first bytes.
    put(block, at + bytes - sizeof(uoffset_t), uoffset_t{0});
    std::uint8_t* const to = block + at + sizeof(uoffset_t);
    const std::size_t length = text.size();
    // A read id is mostly a 36-character UUID: copied as overlapping
    // 16-byte pieces, it costs a handful of moves rather than a call.
    constexpr std::size_t piece = 16;
    if (length >= piece && length <= 4 * piece) {
        const auto move = [&](std::size_t offset) { std::memcpy(to + offset, text.data() + offset, piece); };
        move(0);
        move(length - piece);
        if (length > 2 * piece) {
            move(piece);
            move(length - 2 * piece);
        }
    } else if (length != 0) {
        std::memcpy(to, text.data(), length);
    }
}

// Whether two texts are equal. The texts the reads of a batch share are
// mostly short, and comparing them as two words that overlap costs less
// than a call to memcmp.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
    constexpr std::size_t word = sizeof(std::uint64_t);
    const std::size_t length = a.size();
    if (length != b.size()) {
        return false;
    }
    if (length < word || length > 2 * word) {
        return a == b;
    }
    const auto word_at = [](std::string_view text, std::size_t at) {
        std::uint64_t value;
        std::memcpy(&value, text.data() + at, word);
        return value;
    };
    return word_at(a, 0) == word_at(b, 0) && word_at(a, length - word) == word_at(b, length - word);
}

[[noreturn, gnu::cold, gnu::noinline]] void throw_too_few_samples(const common::ReadHolder& read,
                                                                std::size_t signal_size,
                                                                std::uint64_t first_sample,
                                                                std::uint64_t sample_count) {
    throw std::runtime_error("Read " + read.metadata->read_id + " has " + std::to_string(signal_size) +
                             " samples of raw data, too few for its block of " + std::to_string(sample_count) +
                             " samples from sample " + std::to_string(first_sample) + ".");
}

// The samples of a block: sample_count of the read's raw_data from
// first_sample.
[[gnu::always_inline]] inline std::span<const std::int16_t> samples_of(const common::ReadHolder& read,
                                                                       std::uint64_t first_sample,
                                                                       std::uint64_t sample_count) {
    namespace dw = vesk::data_wrappers::v2;
    QOR_EXPECTS(read.metadata != nullptr, "A read sent to the server needs its metadata");
    // raw_data is the smallest key, so a read's signal is mostly its first
    // data set.
    auto raw = read.datasets.begin();
    if (raw == read.datasets.end() || raw->first != dw::raw_data) [[unlikely]] {
        raw = read.datasets.find(dw::raw_data);
        if (raw == read.datasets.end()) {
            throw std::out_of_range("invalid map<K, T> key");
        }
    }
    const dw::VecView<const std::int16_t> signal = raw->second.view<std::int16_t>();
    if (first_sample > signal.size() || sample_count > signal.size() - first_sample) [[unlikely]] {
        throw_too_few_samples(read, signal.size(), first_sample, sample_count);
    }
    return {signal.data() + first_sample, static_cast<std::size_t>(sample_count)};
}

}  // namespace

ReadBlockWriter::ReadBlockWriter(ReadMessageBuilder& builder, std::size_t room, std::size_t blocks)
    : m_builder(builder) {
    m_copies.reserve(blocks);
    const auto size = static_cast<uoffset_t>(m_builder.GetSize());
    std::uint8_t* const lowest = m_builder.reserve(room);
    m_cursor = Cursor{lowest + room, size, room};
}

// Gives the cursor `bytes` of room below it, taking what it lacks from the
// builder, which may move the buffer.
ReadBlockWriter::Cursor ReadBlockWriter::grow(Cursor cursor, std::size_t bytes) {
    m_builder.reserve(bytes - cursor.free);
    cursor.low = m_builder.GetCurrentBufferPointer() + (m_builder.GetSize() - cursor.size);
    cursor.free = bytes;
    return cursor;
}

// `bytes` of room below the cursor, which moves down onto their lowest byte.
// Inline: a batch's loop over its reads keeps the cursor in registers.
[[gnu::always_inline]] inline std::uint8_t* ReadBlockWriter::take(Cursor& cursor, std::size_t bytes) {
    if (cursor.free < bytes) [[unlikely]] {
        cursor = grow(cursor, bytes);
    }
    cursor.low -= bytes;
    cursor.size += static_cast<uoffset_t>(bytes);
    cursor.free -= bytes;
    return cursor.low;
}

uoffset_t ReadBlockWriter::write_vtable(Cursor& cursor, unsigned present) {
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
    m_vtables[present] = write_vtable_image(cursor, vtable, vtable_bytes);
    return m_vtables[present];
}

uoffset_t ReadBlockWriter::write_pairing_vtable(Cursor& cursor) {
    constexpr voffset_t vtable_size = wire::PairingInfo::VT_RUN_ID + sizeof(voffset_t);
    std::uint8_t vtable[vtable_size] = {};
    put(vtable, 0, vtable_size);
    put(vtable, sizeof(voffset_t), static_cast<voffset_t>(pairing_bytes));
    put(vtable, wire::PairingInfo::VT_CHANNEL, static_cast<voffset_t>(at_channel));
    put(vtable, wire::PairingInfo::VT_MUX, static_cast<voffset_t>(at_mux));
    put(vtable, wire::PairingInfo::VT_RUN_ID, static_cast<voffset_t>(at_run_id));
    m_pairing_vtable = write_vtable_image(cursor, vtable, vtable_size);
    return m_pairing_vtable;
}

// A vtable, aligned on 2 bytes as the builder aligns them: the zero byte
// that aligns it lies above it.
uoffset_t ReadBlockWriter::write_vtable_image(Cursor& cursor, const std::uint8_t* vtable, std::size_t bytes) {
    const std::size_t padding = cursor.size % sizeof(voffset_t);
    std::uint8_t* const to = take(cursor, bytes + padding);
    std::memcpy(to, vtable, bytes);
    std::memset(to + bytes, 0, padding);
    return cursor.size;
}

// A text as the builder lays one out: its length, its characters, a
// terminating zero, and zeros up to the next 4 bytes from the buffer's end.
uoffset_t ReadBlockWriter::write_text(Cursor& cursor, std::string_view text) {
    const std::size_t padding = flatbuffers::PaddingBytes(cursor.size + text.size() + 1, sizeof(uoffset_t));
    std::uint8_t* const to = take(cursor, sizeof(uoffset_t) + text.size() + 1 + padding);
    put(to, 0, static_cast<uoffset_t>(text.size()));
    if (!text.empty()) {
        std::memcpy(to + sizeof(uoffset_t), text.data(), text.size());
    }
    std::memset(to + sizeof(uoffset_t) + text.size(), 0, 1 + padding);
    return cursor.size;
}

// A shared text: one written before, or a new one written now. A batch
// carries a handful of distinct kits, flow cell codes and end reasons, so a
// short list beats the builder's own string pool, which writes each text
// before looking it up.
uoffset_t ReadBlockWriter::shared_text(Cursor& cursor, std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    for (const StoredText& stored : m_texts) {
        if (stored.text == text) {
            return stored.offset;
        }
    }
    m_texts.push_back(StoredText{text, write_text(cursor, text)});
    return m_texts.back().offset;
}

// What a block of the read carries, where it differs from the last block:
// its shared texts, each written before the first block that carries it,
// then the vtables of its shape, each likewise. Takes the cursor and gives
// it back, rather than by reference, so that the loop over a batch keeps it
// in registers.
ReadBlockWriter::Cursor ReadBlockWriter::carry(Cursor cursor, const interfaces::ReadMetadata& metadata) {
    Carried& carried = m_carried;
    carried.from = &metadata;
    carried.kit_text = shared_text(cursor, metadata.sequencing_kit);
    carried.flow_cell_text = shared_text(cursor, metadata.flow_cell_product_code);
    carried.end_reason_text = shared_text(cursor, metadata.end_reason);
    carried.run_text = carries_pairing(metadata) ? shared_text(cursor, metadata.run_id) : 0;

    const bool pairing = carried.run_text != 0;
    if (pairing && m_pairing_vtable == 0) {
        write_pairing_vtable(cursor);
    }
    carried.pairing_vtable = m_pairing_vtable;
    const unsigned present = (pairing ? 1U : 0U) | (carried.kit_text != 0 ? 2U : 0U) |
                             (carried.flow_cell_text != 0 ? 4U : 0U) | (carried.end_reason_text != 0 ? 8U : 0U);
    carried.vtable = m_vtables[present] != 0 ? m_vtables[present] : write_vtable(cursor, present);
    return cursor;
}

// The block of the read (which has its metadata) with these samples, after
// its shared texts: its distance from the buffer's end.
[[gnu::always_inline]] inline uoffset_t ReadBlockWriter::write_block(Cursor& cursor,
                                                                      SampleCopy*& copies,
                                                                      const common::ReadHolder& read,
                                                                      std::span<const std::int16_t> samples,
                                                                      std::uint32_t block_index,
                                                                      std::uint32_t block_count) {
    const interfaces::ReadMetadata& metadata = *read.metadata;
    // The reads of a batch mostly come from one run and repeat all four
    // shared texts of the read before them, which four comparisons find.
    const interfaces::ReadMetadata* const from = m_carried.from;
    const bool pairing = carries_pairing(metadata);
    if (from == nullptr || !same_text(from->sequencing_kit, metadata.sequencing_kit) ||
        !same_text(from->flow_cell_product_code, metadata.flow_cell_product_code) ||
        !same_text(from->end_reason, metadata.end_reason) || pairing != (m_carried.run_text != 0) ||
        (pairing && !same_text(from->run_id, metadata.run_id))) [[unlikely]] {
        cursor = carry(cursor, metadata);
    }
    const Carried& carried = m_carried;
    const uoffset_t run_id_text = carried.run_text;
    const uoffset_t kit_text = carried.kit_text;
    const uoffset_t flow_cell_text = carried.flow_cell_text;
    const uoffset_t end_reason_text = carried.end_reason_text;
    const uoffset_t vtable = carried.vtable;
    const uoffset_t pairing_vtable = carried.pairing_vtable;
    const BlockLayout layout(metadata.read_id, metadata.strand_id, pairing, samples.size());

    // The block's placement depends on where it ends, which is where the
    // cursor stands, on room that stays put; it takes no more of that room
    // than the placement needs.
    const std::size_t most = layout.bytes + most_placement_bytes;
    if (cursor.free < most) {
        cursor = grow(cursor, most);
    }
    const SamplePlacement placement = place_samples(cursor.low, cursor.size, layout, samples.data());
    const std::size_t used = layout.bytes + placement.gap + placement.padding;
    std::uint8_t* const block = take(cursor, used);
    const std::size_t samples_at = layout.samples_at + placement.gap;

    // Positions count from the end of the buffer: the block's byte k will
    // sit at table - k. A reference is the distance from the referring
    // field up to its target; a null target leaves an optional field out,
    // its slot zero.
    const uoffset_t table = cursor.size;
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
    put(block, samples_at, static_cast<uoffset_t>(samples.size()));
    if (!samples.empty()) {
        *copies++ = SampleCopy{place(samples_at + sizeof(uoffset_t)), samples.data(), layout.samples_bytes};
    }
    // The vtables were written before the block, so they lie above it.
    put(block, at_vtable, static_cast<flatbuffers::soffset_t>(vtable) - static_cast<flatbuffers::soffset_t>(table));
    put(block, at_read_tag, static_cast<std::uint32_t>(read.read_tag));
    put(block, at_start_time, metadata.start_time.value_or(0));
    put(block, at_num_keldrow_events, metadata.num_keldrow_events);
    put(block, at_sub_tag, static_cast<std::uint32_t>(read.sub_tag));
    put(block, at_block_index, block_index);
    put(block, at_block_count, block_count);
    put(block, at_duration, static_cast<std::uint32_t>(metadata.duration));
    put(block, at_daq_offset, metadata.daq_offset.value_or(0.0f));
    put(block, at_daq_scaling, metadata.daq_scaling.value_or(0.0f));
    put(block, at_sampling_rate, metadata.sampling_rate);
    put(block, at_open_pore_level, metadata.open_pore_level);
    // A raw block is never split.
    put(block, at_split_point, std::int32_t{-1});
    put(block, at_type, static_cast<std::int32_t>(block_index == 0 ? wire::BlockKind::FIRST_RAW_BLOCK
                                                                   : wire::BlockKind::NEXT_RAW_BLOCK));
    put(block, at_read_id, refer(at_read_id, read_id));
    put(block, at_strand_id, refer(at_strand_id, strand_id));
    put(block, at_samples, refer(at_samples, place(samples_at)));
    put(block, at_pairing, refer_optional(at_pairing, pairing ? place(layout.pairing_at) : 0));
    put(block, at_sequencing_kit, refer_optional(at_sequencing_kit, kit_text));
    put(block, at_flow_cell_product_code, refer_optional(at_flow_cell_product_code, flow_cell_text));
    put(block, at_end_reason, refer_optional(at_end_reason, end_reason_text));
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
        put(block, at + at_run_id, refer(at + at_run_id, run_id_text));
    }
    return table;
}

flatbuffers::Offset<wire::ReadBlock> ReadBlockWriter::write(const common::ReadHolder& read,
                                                            std::uint64_t first_sample,
                                                            std::uint64_t sample_count,
                                                            std::uint32_t block_index,
                                                            std::uint32_t block_count) {
    const std::span<const std::int16_t> samples = samples_of(read, first_sample, sample_count);
    Cursor cursor = m_cursor;
    const std::size_t copied = m_copies.size();
    m_copies.resize(copied + 1);
    SampleCopy* copies = m_copies.data() + copied;
    const uoffset_t block = write_block(cursor, copies, read, samples, block_index, block_count);
    m_copies.resize(static_cast<std::size_t>(copies - m_copies.data()));
    m_cursor = cursor;
    m_wrote_block = true;
    return flatbuffers::Offset<wire::ReadBlock>(block);
}

void ReadBlockWriter::write_reads(std::span<const common::ReadHolder* const> reads,
                                  flatbuffers::Offset<wire::ReadBlock>* blocks) {
    // Held in locals across the loop, which the stores into the blocks
    // cannot touch, so that the compiler keeps them in registers.
    Cursor cursor = m_cursor;
    const std::size_t copied = m_copies.size();
    m_copies.resize(copied + reads.size());
    SampleCopy* copies = m_copies.data() + copied;
    const auto keep = [&] {
        m_cursor = cursor;
        m_copies.resize(static_cast<std::size_t>(copies - m_copies.data()));
    };
    std::size_t i = 0;
    try {
        for (; i < reads.size(); ++i) {
            const common::ReadHolder& read = *reads[i];
            QOR_EXPECTS(read.metadata != nullptr, "A read sent to the server needs its metadata");
            const std::span<const std::int16_t> samples = samples_of(read, 0, read.metadata->duration);
            blocks[i] = flatbuffers::Offset<wire::ReadBlock>(write_block(cursor, copies, read, samples, 0, 1));
        }
    } catch (...) {
        keep();
        m_wrote_block = m_wrote_block || i > 0;
        throw;
    }
    keep();
    m_wrote_block = m_wrote_block || !reads.empty();
}

void ReadBlockWriter::finish() noexcept {
    if (m_wrote_block) {
        m_builder.TrackMinAlign(sizeof(std::uint64_t));
    }
    std::uint8_t* const end = m_builder.GetCurrentBufferPointer() + m_builder.GetSize();
    for (const SampleCopy& copy : m_copies) {
        ipc_tools::copy_samples(end - copy.to, copy.from, copy.bytes);
    }
    m_copies.clear();
    m_builder.PopBytes(m_cursor.free);
    m_cursor.free = 0;
}

}  // namespace ipc_tools
