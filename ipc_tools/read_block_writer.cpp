#include "ipc_tools/read_block_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/runtime/contract.h"
#include "ipc_tools/sample_copy.h"

namespace ipc_tools {

namespace {

using flatbuffers::uoffset_t;
using flatbuffers::voffset_t;
using Block = wire::ReadBlock;

constexpr std::size_t vtable_offset_bytes = sizeof(flatbuffers::soffset_t);

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
// A field a block leaves out is written into the first 8 bytes of its table
// (see write_block), which every table has.
static_assert(ReadBlockWriter::table_bytes(0) >= vtable_offset_bytes + sizeof(std::uint64_t));

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
    if (length - word > word) {  // below a word, the difference wraps around
        return a == b;
    }
    const auto word_at = [](std::string_view text, std::size_t at) {
        std::uint64_t value;
        std::memcpy(&value, text.data() + at, word);
        return value;
    };
    // One branch for both words.
    return ((word_at(a, 0) ^ word_at(b, 0)) | (word_at(a, length - word) ^ word_at(b, length - word))) == 0;
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

ReadBlockWriter::ReadBlockWriter(ReadMessageBuilder& builder, std::size_t room) : m_builder(builder) {
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

// The shared texts a block of the read carries, where they differ from the
// last block's, each written before the first block that carries it. Takes
// the cursor and gives it back, rather than by reference, so that the loop
// over a batch keeps it in registers.
ReadBlockWriter::Cursor ReadBlockWriter::carry(Cursor cursor, const interfaces::ReadMetadata& metadata) {
    Carried& carried = m_carried;
    carried.from = &metadata;
    carried.kit_text = shared_text(cursor, metadata.sequencing_kit);
    carried.flow_cell_text = shared_text(cursor, metadata.flow_cell_product_code);
    carried.end_reason_text = shared_text(cursor, metadata.end_reason);
    carried.run_text = carries_pairing(metadata) ? shared_text(cursor, metadata.run_id) : 0;
    return cursor;
}

// The image of a shape, and its vtables, each written before the first
// block that needs it.
ReadBlockWriter::Cursor ReadBlockWriter::take_shape(Cursor cursor, std::uint32_t shape) {
    // The table's fields after its vtable offset: the split point first,
    // which puts the 8-byte fields on 8 bytes, then those, then the 4-byte
    // ones.
    struct Field {
        voffset_t Image::*at;
        std::uint32_t shape;  // 0: always written
        voffset_t bytes;
    };
    static constexpr Field fields[] = {
        {&Image::split_point, 0, sizeof(std::int32_t)},
        {&Image::start_time, start_time_field, sizeof(std::uint64_t)},
        {&Image::num_keldrow_events, num_keldrow_events_field, sizeof(std::uint64_t)},
        {&Image::read_tag, read_tag_field, sizeof(std::uint32_t)},
        {&Image::sub_tag, sub_tag_field, sizeof(std::uint32_t)},
        {&Image::block_index, block_index_field, sizeof(std::uint32_t)},
        {&Image::type, type_field, sizeof(std::int32_t)},
        {&Image::block_count, block_count_field, sizeof(std::uint32_t)},
        {&Image::duration, duration_field, sizeof(std::uint32_t)},
        {&Image::daq_offset, daq_offset_field, sizeof(float)},
        {&Image::daq_scaling, daq_scaling_field, sizeof(float)},
        {&Image::sampling_rate, sampling_rate_field, sizeof(float)},
        {&Image::open_pore_level, open_pore_level_field, sizeof(float)},
        {&Image::read_id, 0, sizeof(uoffset_t)},
        {&Image::strand_id, 0, sizeof(uoffset_t)},
        {&Image::samples, 0, sizeof(uoffset_t)},
        {&Image::pairing, pairing_field, sizeof(uoffset_t)},
        {&Image::sequencing_kit, sequencing_kit_field, sizeof(uoffset_t)},
        {&Image::flow_cell_product_code, flow_cell_product_code_field, sizeof(uoffset_t)},
        {&Image::end_reason, end_reason_field, sizeof(uoffset_t)},
    };
    Image image;
    image.shape = shape;
    voffset_t at = vtable_offset_bytes;
    for (const Field& field : fields) {
        if (field.shape == 0 || (shape & field.shape) != 0) {
            image.*field.at = at;
            at = static_cast<voffset_t>(at + field.bytes);
        }
    }
    image.table_bytes = table_bytes(shape);
    image.pairing_bytes = pairing_bytes(shape);
    QOR_EXPECTS(at == image.table_bytes, "A block's table image takes the bytes its shape counts");
    if ((shape & pairing_field) != 0) {
        voffset_t pairing_at = vtable_offset_bytes;
        const std::pair<Shape, voffset_t Image::*> pairing_fields_in_order[] = {{channel_field, &Image::channel},
                                                                                {mux_field, &Image::mux}};
        for (const auto& [field, member] : pairing_fields_in_order) {
            if ((shape & field) != 0) {
                image.*member = pairing_at;
                pairing_at = static_cast<voffset_t>(pairing_at + sizeof(std::int32_t));
            }
        }
        image.run_id = pairing_at;
        image.pairing_vtable = pairing_vtable(cursor, image);
    }
    image.vtable = block_vtable(cursor, image);
    m_image = image;
    return cursor;
}

// The vtable of the image's block fields: one written before, or a new one
// written now, as long as its last field present, as the builder trims it.
uoffset_t ReadBlockWriter::block_vtable(Cursor& cursor, const Image& image) {
    const std::uint32_t fields = image.shape & block_fields;
    for (const auto& [shape, vtable] : m_vtables) {
        if (shape == fields) {
            return vtable;
        }
    }
    const std::pair<voffset_t, voffset_t> entries[] = {
        {Block::VT_TYPE, image.type},
        {Block::VT_READ_TAG, image.read_tag},
        {Block::VT_BLOCK_INDEX, image.block_index},
        {Block::VT_BLOCK_COUNT, image.block_count},
        {Block::VT_DURATION, image.duration},
        {Block::VT_DAQ_OFFSET, image.daq_offset},
        {Block::VT_DAQ_SCALING, image.daq_scaling},
        {Block::VT_READ_ID, image.read_id},
        {Block::VT_SAMPLES, image.samples},
        {Block::VT_SUB_TAG, image.sub_tag},
        {Block::VT_STRAND_ID, image.strand_id},
        {Block::VT_START_TIME, image.start_time},
        {Block::VT_NUM_KELDROW_EVENTS, image.num_keldrow_events},
        {Block::VT_SAMPLING_RATE, image.sampling_rate},
        {Block::VT_PAIRING, image.pairing},
        {Block::VT_SEQUENCING_KIT, image.sequencing_kit},
        {Block::VT_FLOW_CELL_PRODUCT_CODE, image.flow_cell_product_code},
        {Block::VT_END_REASON, image.end_reason},
        {Block::VT_SPLIT_POINT, image.split_point},
        {Block::VT_OPEN_PORE_LEVEL, image.open_pore_level},
    };
    std::uint8_t vtable[vtable_bytes] = {};
    std::size_t bytes = 0;
    for (const auto& [entry, at] : entries) {
        if (at != 0) {
            put(vtable, entry, at);
            bytes = std::max<std::size_t>(bytes, entry + sizeof(voffset_t));
        }
    }
    put(vtable, 0, static_cast<voffset_t>(bytes));
    put(vtable, sizeof(voffset_t), static_cast<voffset_t>(image.table_bytes));
    m_vtables.emplace_back(fields, write_vtable_image(cursor, vtable, bytes));
    return m_vtables.back().second;
}

uoffset_t ReadBlockWriter::pairing_vtable(Cursor& cursor, const Image& image) {
    uoffset_t& written = m_pairing_vtables[(image.shape & pairing_fields) / channel_field];
    if (written != 0) {
        return written;
    }
    constexpr voffset_t vtable_size = wire::PairingInfo::VT_RUN_ID + sizeof(voffset_t);
    std::uint8_t vtable[vtable_size] = {};
    put(vtable, 0, vtable_size);
    put(vtable, sizeof(voffset_t), static_cast<voffset_t>(image.pairing_bytes));
    put(vtable, wire::PairingInfo::VT_CHANNEL, image.channel);
    put(vtable, wire::PairingInfo::VT_MUX, image.mux);
    put(vtable, wire::PairingInfo::VT_RUN_ID, image.run_id);
    written = write_vtable_image(cursor, vtable, vtable_size);
    return written;
}

// The block of the read (which has its metadata) with these samples, after
// its shared texts and vtables: its distance from the buffer's end.
[[gnu::always_inline]] inline uoffset_t ReadBlockWriter::write_block(Cursor& cursor,
                                                                      const common::ReadHolder& read,
                                                                      std::span<const std::int16_t> samples,
                                                                      std::uint32_t block_index,
                                                                      std::uint32_t block_count,
                                                                      std::uint32_t shape) {
    const interfaces::ReadMetadata& metadata = *read.metadata;
    // The reads of a batch mostly come from one run and repeat all four
    // shared texts of the read before them, which four comparisons find,
    // and mostly have the shape of the read before them.
    const interfaces::ReadMetadata* const from = m_carried.from;
    const bool pairing = (shape & pairing_field) != 0;  // as carries_pairing has it
    if (from == nullptr || !same_text(from->sequencing_kit, metadata.sequencing_kit) ||
        !same_text(from->flow_cell_product_code, metadata.flow_cell_product_code) ||
        !same_text(from->end_reason, metadata.end_reason) || pairing != (m_carried.run_text != 0) ||
        (pairing && !same_text(from->run_id, metadata.run_id))) [[unlikely]] {
        cursor = carry(cursor, metadata);
    }
    if (shape != m_image.shape) [[unlikely]] {
        cursor = take_shape(cursor, shape);
    }
    // Read where they stand: copied, the image and the carried texts'
    // places would take more moves (and spills) than their fields take
    // loads.
    const Image& image = m_image;
    const Carried& carried = m_carried;
    const BlockLayout layout(image.table_bytes, image.pairing_bytes, metadata.read_id, metadata.strand_id,
                             samples.size());

    // The block's placement depends on where it ends, which is where the
    // cursor stands, on room that stays put; it takes no more of that room
    // than the placement needs.
    const std::size_t most = layout.bytes + most_placement_bytes;
    if (cursor.free < most) {
        cursor = grow(cursor, most);
    }
    const SamplePlacement placement = place_samples(cursor.low, cursor.size, layout, samples.data());
    const std::size_t used = layout.bytes + placement.gap + placement.padding;
    // Within the room just made sure of.
    cursor.low -= used;
    cursor.size += static_cast<uoffset_t>(used);
    cursor.free -= used;
    std::uint8_t* const block = cursor.low;
    const std::size_t samples_at = layout.samples_at + placement.gap;

    // Positions count from the end of the buffer: the block's byte k will
    // sit at table - k. A reference is the distance from the referring
    // field up to its target.
    const uoffset_t table = cursor.size;
    const auto place = [table](std::size_t at) { return table - static_cast<uoffset_t>(at); };
    const auto refer = [table](std::size_t at, uoffset_t target) {
        return table - static_cast<uoffset_t>(at) - target;
    };
    const uoffset_t read_id = place(layout.read_id_at);
    const uoffset_t strand_id = layout.strand_id_bytes != 0 ? place(layout.strand_id_at) : read_id;

    // Every byte of the block but its padding and gap is written below. A
    // block longer than a cache line has its padding zeroed by zeroing its
    // last line, before anything else goes in, which leaves what lies above
    // alone. (A copy of a fixed 64 bytes is a few stores; a memset of them,
    // a call.)
    static constexpr std::uint8_t zero_line[cache_line_bytes] = {};
    static_assert(most_padding_bytes < cache_line_bytes);
    if (used >= cache_line_bytes) [[likely]] {
        std::memcpy(block + used - cache_line_bytes, zero_line, cache_line_bytes);
    } else {
        std::memset(block, 0, used);
    }
    if (placement.gap != 0) {
        put(block, layout.samples_at, uoffset_t{0});
    }
    put(block, samples_at, static_cast<uoffset_t>(samples.size()));
    // Every field is written, also those the shape leaves out: their image
    // offset is 0, so they land in the table's first 8 bytes, which the
    // split point and the vtable offset take last. Stores without branches.
    put(block, image.start_time, metadata.start_time.value_or(0));
    put(block, image.num_keldrow_events, metadata.num_keldrow_events);
    put(block, image.read_tag, static_cast<std::uint32_t>(read.read_tag));
    put(block, image.sub_tag, static_cast<std::uint32_t>(read.sub_tag));
    put(block, image.block_index, block_index);
    // Written only for later blocks: the first block's kind is the default.
    put(block, image.type, static_cast<std::int32_t>(wire::BlockKind::NEXT_RAW_BLOCK));
    put(block, image.block_count, block_count);
    put(block, image.duration, static_cast<std::uint32_t>(metadata.duration));
    put(block, image.daq_offset, metadata.daq_offset.value_or(0.0f));
    put(block, image.daq_scaling, metadata.daq_scaling.value_or(0.0f));
    put(block, image.sampling_rate, metadata.sampling_rate);
    put(block, image.open_pore_level, metadata.open_pore_level);
    put(block, image.read_id, refer(image.read_id, read_id));
    put(block, image.strand_id, refer(image.strand_id, strand_id));
    put(block, image.samples, refer(image.samples, place(samples_at)));
    put(block, image.pairing, refer(image.pairing, place(layout.pairing_at)));
    put(block, image.sequencing_kit, refer(image.sequencing_kit, carried.kit_text));
    put(block, image.flow_cell_product_code, refer(image.flow_cell_product_code, carried.flow_cell_text));
    put(block, image.end_reason, refer(image.end_reason, carried.end_reason_text));
    // A raw block is never split.
    put(block, image.split_point, std::int32_t{-1});
    // The vtables were written before the block, so they lie above it.
    put(block, 0, static_cast<flatbuffers::soffset_t>(image.vtable) - static_cast<flatbuffers::soffset_t>(table));
    put_text(block, layout.read_id_at, metadata.read_id, layout.read_id_bytes);
    if (layout.strand_id_bytes != 0) {
        put_text(block, layout.strand_id_at, metadata.strand_id, layout.strand_id_bytes);
    }
    if (pairing) {
        // As above, the channel and mux left out land on the vtable
        // offset, written last.
        const std::size_t at = layout.pairing_at;
        put(block, at + image.channel, *metadata.channel);
        put(block, at + image.mux, static_cast<std::int32_t>(*metadata.mux));
        put(block, at + image.run_id, refer(at + image.run_id, carried.run_text));
        put(block, at,
            static_cast<flatbuffers::soffset_t>(image.pairing_vtable) - static_cast<flatbuffers::soffset_t>(place(at)));
    }
    // The samples last: the copy streams through the cache while the next
    // block's table is being worked out, which costs less than copying all
    // of a batch's samples after all of its tables.
    if (!samples.empty()) {
        ipc_tools::copy_samples(block + samples_at + sizeof(uoffset_t), samples.data(), layout.samples_bytes);
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
    const uoffset_t block =
        write_block(cursor, read, samples, block_index, block_count, shape_of(read, block_index, block_count));
    m_cursor = cursor;
    m_wrote_block = true;
    return flatbuffers::Offset<wire::ReadBlock>(block);
}

void ReadBlockWriter::write_reads(std::span<const common::ReadHolder* const> reads,
                                  flatbuffers::Offset<wire::ReadBlock>* blocks,
                                  const std::uint32_t* shapes) {
    // Held in locals across the loop, which the stores into the blocks
    // cannot touch, so that the compiler keeps them in registers.
    Cursor cursor = m_cursor;
    std::size_t i = 0;
    try {
        for (; i < reads.size(); ++i) {
            const common::ReadHolder& read = *reads[i];
            QOR_EXPECTS(read.metadata != nullptr, "A read sent to the server needs its metadata");
            const std::span<const std::int16_t> samples = samples_of(read, 0, read.metadata->duration);
            const std::uint32_t shape = shapes != nullptr ? shapes[i] : shape_of(read, 0, 1);
            blocks[i] = flatbuffers::Offset<wire::ReadBlock>(write_block(cursor, read, samples, 0, 1, shape));
        }
    } catch (...) {
        m_cursor = cursor;
        m_wrote_block = m_wrote_block || i > 0;
        throw;
    }
    m_cursor = cursor;
    m_wrote_block = m_wrote_block || !reads.empty();
}

void ReadBlockWriter::finish() noexcept {
    if (m_wrote_block) {
        m_builder.TrackMinAlign(sizeof(std::uint64_t));
    }
    m_builder.PopBytes(m_cursor.free);
    m_cursor.free = 0;
}

}  // namespace ipc_tools
