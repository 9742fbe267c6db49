#include "ipc_tools/read_block_writer.h"

#include <cstring>

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

template <class T>
void put(std::uint8_t* image, voffset_t at, T value) {
    flatbuffers::WriteScalar(image + at, value);
}

}  // namespace

uoffset_t ReadBlockWriter::vtable_for(unsigned present) {
    uoffset_t& written = m_vtables[present];
    if (written != 0) {
        return written;
    }
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
    written = m_builder.GetSize();
    return written;
}

flatbuffers::Offset<wire::PairingInfo> ReadBlockWriter::write_pairing(std::int32_t channel,
                                                                      std::int32_t mux,
                                                                      flatbuffers::Offset<flatbuffers::String> run_id) {
    // The vtable offset, channel, mux and run id, in their vtable order.
    constexpr voffset_t image_bytes = 16;
    constexpr voffset_t at_channel = 4;
    constexpr voffset_t at_mux = 8;
    constexpr voffset_t at_run_id = 12;
    if (m_pairing_vtable == 0) {
        constexpr voffset_t vtable_size = wire::PairingInfo::VT_RUN_ID + sizeof(voffset_t);
        std::uint8_t vtable[vtable_size] = {};
        put(vtable, 0, vtable_size);
        put(vtable, sizeof(voffset_t), image_bytes);
        put(vtable, wire::PairingInfo::VT_CHANNEL, at_channel);
        put(vtable, wire::PairingInfo::VT_MUX, at_mux);
        put(vtable, wire::PairingInfo::VT_RUN_ID, at_run_id);
        m_builder.Align(sizeof(voffset_t));
        m_builder.PushBytes(vtable, vtable_size);
        m_pairing_vtable = m_builder.GetSize();
    }
    m_builder.PreAlign(image_bytes, sizeof(uoffset_t));
    const uoffset_t table = m_builder.GetSize() + image_bytes;
    std::uint8_t image[image_bytes];
    put(image, at_vtable,
        static_cast<flatbuffers::soffset_t>(m_pairing_vtable) - static_cast<flatbuffers::soffset_t>(table));
    put(image, at_channel, channel);
    put(image, at_mux, mux);
    put(image, at_run_id, table - at_run_id - run_id.o);
    m_builder.PushBytes(image, image_bytes);
    return flatbuffers::Offset<wire::PairingInfo>(table);
}

flatbuffers::Offset<wire::ReadBlock> ReadBlockWriter::write(const RawBlockFields& fields) {
    const uoffset_t optional_offsets[optional_count] = {fields.pairing.o, fields.sequencing_kit.o,
                                                        fields.flow_cell_product_code.o, fields.end_reason.o};
    unsigned present = 0;
    for (std::size_t i = 0; i < optional_count; ++i) {
        present |= optional_offsets[i] != 0 ? 1U << i : 0U;
    }
    const uoffset_t vtable = vtable_for(present);

    // Positions count from the end of the buffer; the image's start will sit
    // at `table`, and a field at image offset k at table - k.
    m_builder.PreAlign(table_bytes, sizeof(std::uint64_t));
    const uoffset_t table = m_builder.GetSize() + static_cast<uoffset_t>(table_bytes);
    const auto refer = [table](voffset_t at, uoffset_t target) { return table - at - target; };

    std::uint8_t image[table_bytes] = {};
    // The vtable was written before the table, so it lies above it.
    put(image, at_vtable, static_cast<flatbuffers::soffset_t>(vtable) - static_cast<flatbuffers::soffset_t>(table));
    put(image, at_read_tag, fields.read_tag);
    put(image, at_start_time, fields.start_time);
    put(image, at_num_keldrow_events, fields.num_keldrow_events);
    put(image, at_sub_tag, fields.sub_tag);
    put(image, at_block_index, fields.block_index);
    put(image, at_block_count, fields.block_count);
    put(image, at_duration, fields.duration);
    put(image, at_daq_offset, fields.daq_offset);
    put(image, at_daq_scaling, fields.daq_scaling);
    put(image, at_sampling_rate, fields.sampling_rate);
    put(image, at_open_pore_level, fields.open_pore_level);
    put(image, at_split_point, fields.split_point);
    put(image, at_type, static_cast<std::int32_t>(fields.type));
    put(image, at_read_id, refer(at_read_id, fields.read_id.o));
    put(image, at_strand_id, refer(at_strand_id, fields.strand_id.o));
    put(image, at_samples, refer(at_samples, fields.samples.o));
    for (std::size_t i = 0; i < optional_count; ++i) {
        if (optional_offsets[i] != 0) {
            put(image, optional_slots[i].image_offset, refer(optional_slots[i].image_offset, optional_offsets[i]));
        }
    }
    m_builder.PushBytes(image, table_bytes);
    return flatbuffers::Offset<wire::ReadBlock>(table);
}

}  // namespace ipc_tools
