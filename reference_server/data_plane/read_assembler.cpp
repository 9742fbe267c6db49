#include "reference_server/data_plane/read_assembler.h"

#include <algorithm>
#include <utility>

#include "ipc_tools/wire_format.h"

namespace reference_server {

namespace {

namespace wire = ipc_tools::wire;

std::string text_of(const flatbuffers::String* text) {
    return text == nullptr ? std::string() : text->str();
}

// The samples of a block in place. The wire is little-endian like every host
// this builds for, and a verified vector of int16 is 2-byte aligned in the
// (aligned) frame, so they are read as they lie.
std::span<const std::int16_t> samples_of(const wire::ReadBlock& block) {
    static_assert(FLATBUFFERS_LITTLEENDIAN, "samples are read as little-endian bytes");
    if (block.samples() == nullptr) {
        return {};
    }
    return {reinterpret_cast<const std::int16_t*>(block.samples()->Data()), block.samples()->size()};
}

// False, appending nothing, when the block carries more samples than the
// read's declared duration leaves room for.
bool append_samples(ReceivedRead& read, const wire::ReadBlock& block, std::string& error) {
    const std::span<const std::int16_t> samples = samples_of(block);
    if (read.samples.size() + samples.size() > read.duration) {
        error = "read " + read.read_id + " sends more than the " + std::to_string(read.duration) +
                " samples of its duration";
        return false;
    }
    // Room grows as blocks come, doubling but never past the declared
    // duration: a read that declares much and sends little holds little.
    const std::size_t needed = read.samples.size() + samples.size();
    if (needed > read.samples.capacity()) {
        read.samples.reserve(std::min<std::size_t>(read.duration, std::max(needed, 2 * read.samples.capacity())));
    }
    read.samples.insert(read.samples.end(), samples.begin(), samples.end());
    return true;
}

ReceivedRead read_of(const wire::ReadBlock& block) {
    ReceivedRead read;
    read.read_tag = block.read_tag();
    read.sub_tag = block.sub_tag();
    read.read_id = text_of(block.read_id());
    read.strand_id = text_of(block.strand_id());
    read.duration = block.duration();
    read.daq_offset = block.daq_offset();
    read.daq_scaling = block.daq_scaling();
    read.sampling_rate = block.sampling_rate();
    read.open_pore_level = block.open_pore_level();
    read.start_time = block.start_time();
    read.num_keldrow_events = block.num_keldrow_events();
    read.split_point = block.split_point();
    read.sequencing_kit = text_of(block.sequencing_kit());
    read.flow_cell_product_code = text_of(block.flow_cell_product_code());
    read.end_reason = text_of(block.end_reason());
    if (const wire::PairingInfo* pairing = block.pairing()) {
        read.pairing = ReceivedRead::Pairing{pairing->channel(), pairing->mux(), text_of(pairing->run_id())};
    }
    return read;
}

// A whole read's samples must match its duration, or the server would call
// a signal other than the one the client holds.
std::string mismatch(const std::string& read_id, std::size_t samples, std::uint32_t duration) {
    return "read " + read_id + " carries " + std::to_string(samples) + " samples for a duration of " +
           std::to_string(duration);
}

bool complete(const ReceivedRead& read, std::string& error) {
    if (read.signal().size() != read.duration) {
        error = mismatch(read.read_id, read.signal().size(), read.duration);
        return false;
    }
    return true;
}

std::string over_limit(const wire::ReadBlock& block, std::uint32_t max_read_samples) {
    if (block.duration() <= max_read_samples) {
        return {};
    }
    return "read " + text_of(block.read_id()) + " declares " + std::to_string(block.duration()) +
           " samples, more than the " + std::to_string(max_read_samples) + " this server takes";
}

}  // namespace

ReceivedRead read_in_place(const wire::ReadBlock& block) {
    ReceivedRead read = read_of(block);
    read.frame_samples = samples_of(block);
    return read;
}

ReadAssembler::BatchCheck ReadAssembler::check_batch(const wire::Envelope& envelope) const {
    BatchCheck check;
    const wire::ReadBatch* batch = envelope.data_as_ReadBatch();
    if (batch == nullptr || batch->blocks() == nullptr || batch->blocks()->size() == 0) {
        check.error = "read batch holds no reads";
        return check;
    }
    check.blocks.reserve(batch->blocks()->size());
    for (const wire::ReadBlock* block : *batch->blocks()) {
        if (block->type() != wire::BlockKind::FIRST_RAW_BLOCK || block->block_count() != 1) {
            check.error = "read batch holds a read that is not whole";
        } else {
            check.error = over_limit(*block, m_limits.max_read_samples);
        }
        if (check.error.empty() && samples_of(*block).size() != block->duration()) {
            check.error = mismatch(text_of(block->read_id()), samples_of(*block).size(), block->duration());
        }
        if (!check.error.empty()) {
            check.blocks.clear();
            return check;
        }
        check.blocks.push_back(block);
    }
    return check;
}

ReadAssembler::Outcome ReadAssembler::add(ipc_tools::MessageType type, const wire::Envelope& envelope) {
    switch (type) {
    case ipc_tools::MessageType::PASS_READ_BATCH:
        return add_batch(envelope);
    case ipc_tools::MessageType::PASS_FIRST_RAW_BLOCK:
        return add_first_block(*envelope.data_as_ReadBlock());
    case ipc_tools::MessageType::PASS_NEXT_RAW_BLOCK:
        return add_next_block(*envelope.data_as_ReadBlock());
    default: {
        Outcome outcome;
        outcome.error = std::string("not a read message: ") + ipc_tools::to_string(type);
        return outcome;
    }
    }
}

ReadAssembler::Outcome ReadAssembler::add_batch(const wire::Envelope& envelope) const {
    Outcome outcome;
    BatchCheck check = check_batch(envelope);
    if (!check.error.empty()) {
        outcome.error = std::move(check.error);
        return outcome;
    }
    outcome.completed.reserve(check.blocks.size());
    for (const wire::ReadBlock* block : check.blocks) {
        outcome.completed.push_back(read_in_place(*block));
    }
    outcome.accepted = true;
    return outcome;
}

ReadAssembler::Outcome ReadAssembler::add_first_block(const wire::ReadBlock& block) {
    Outcome outcome;
    if (block.block_index() != 0 || block.block_count() == 0) {
        outcome.error = "first raw block has index " + std::to_string(block.block_index()) + " of " +
                        std::to_string(block.block_count());
        return outcome;
    }
    outcome.error = over_limit(block, m_limits.max_read_samples);
    if (!outcome.error.empty()) {
        return outcome;
    }
    // A repeated first block starts the read afresh: the client resends
    // reads after a reconnection.
    drop_partial(block.read_tag());
    if (block.block_count() > 1 && m_partial.size() >= m_limits.max_partial_reads) {
        outcome.error = "more than " + std::to_string(m_limits.max_partial_reads) + " reads begun and not finished";
        return outcome;
    }
    // A read sent whole is read in place; one sent in blocks takes the
    // block's samples.
    if (block.block_count() == 1) {
        ReceivedRead read = read_in_place(block);
        if (!complete(read, outcome.error)) {
            return outcome;
        }
        outcome.completed.push_back(std::move(read));
    } else {
        ReceivedRead read = read_of(block);
        if (!append_samples(read, block, outcome.error)) {
            return outcome;
        }
        m_declared_samples += read.duration;
        m_partial[block.read_tag()] = Partial{std::move(read), 1, block.block_count()};
    }
    outcome.accepted = true;
    return outcome;
}

ReadAssembler::Outcome ReadAssembler::add_next_block(const wire::ReadBlock& block) {
    Outcome outcome;
    const auto found = m_partial.find(block.read_tag());
    if (found == m_partial.end()) {
        outcome.error = "raw block of read tag " + std::to_string(block.read_tag()) + " without its first block";
        return outcome;
    }
    Partial& partial = found->second;
    if (block.block_index() != partial.next_index || block.block_count() != partial.block_count) {
        outcome.error = "raw block " + std::to_string(block.block_index()) + " of " +
                        std::to_string(block.block_count()) + " where block " + std::to_string(partial.next_index) +
                        " of " + std::to_string(partial.block_count) + " was due";
        drop_partial(block.read_tag());
        return outcome;
    }
    if (!append_samples(partial.read, block, outcome.error)) {
        drop_partial(block.read_tag());
        return outcome;
    }
    if (++partial.next_index == partial.block_count) {
        ReceivedRead read = std::move(partial.read);
        drop_partial(block.read_tag());
        if (!complete(read, outcome.error)) {
            return outcome;
        }
        outcome.completed.push_back(std::move(read));
    }
    outcome.accepted = true;
    return outcome;
}

void ReadAssembler::drop_partial(std::uint32_t read_tag) {
    if (const auto found = m_partial.find(read_tag); found != m_partial.end()) {
        m_declared_samples -= found->second.read.duration;
        m_partial.erase(found);
    }
}

}  // namespace reference_server
