#pragma once

// Puts together the reads a client sends: whole reads from a PASS_READ_BATCH,
// and reads sent as a PASS_FIRST_RAW_BLOCK followed by PASS_NEXT_RAW_BLOCK
// messages, which must arrive in order.
//
// A read may not declare more samples than the limit, a block may not carry
// more than its read's declared duration leaves, and a client may have only
// so many reads begun and not finished: memory stays bounded by what the
// settings allow whatever a client sends.
//
// One assembler per client connection. Not synchronised: the server thread
// owns it.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"

namespace reference_server {

// A read as the server received it.
struct ReceivedRead {
    std::uint32_t read_tag = 0;
    std::uint32_t sub_tag = 0;
    std::string read_id;
    std::string strand_id;
    std::uint32_t duration = 0;
    float daq_offset = 0.0f;
    float daq_scaling = 0.0f;
    float sampling_rate = 0.0f;
    float open_pore_level = 0.0f;
    std::uint64_t start_time = 0;
    std::uint64_t num_keldrow_events = 0;
    std::int32_t split_point = 0;
    std::string sequencing_kit;
    std::string flow_cell_product_code;
    std::string end_reason;
    struct Pairing {
        std::int32_t channel = 0;
        std::int32_t mux = 0;
        std::string run_id;
    };
    std::optional<Pairing> pairing;
    // The samples of a read put together from several blocks, or given by
    // whoever builds the read.
    std::vector<std::int16_t> samples;
    // The samples of a read sent whole, read in place from the request frame
    // rather than copied: valid only while that request is handled.
    std::span<const std::int16_t> frame_samples;

    // The read's signal, wherever it lives.
    std::span<const std::int16_t> signal() const {
        return frame_samples.empty() ? std::span<const std::int16_t>(samples) : frame_samples;
    }
};

// A read sent whole in one block, its samples read in place from the block:
// valid while the block's envelope is.
ReceivedRead read_in_place(const ipc_tools::wire::ReadBlock& block);

class ReadAssembler {
public:
    struct Limits {
        std::size_t max_partial_reads = 64;
        std::uint32_t max_read_samples = 100'000'000;
    };

    ReadAssembler() = default;
    explicit ReadAssembler(Limits limits) : m_limits(limits) {}

    struct Outcome {
        // False when the message broke the sending rules; error says how,
        // and the server answers BAD_REQUEST with it.
        bool accepted = false;
        std::string error;
        // Reads that are complete with this message, in the order sent.
        std::vector<ReceivedRead> completed;
    };

    // Takes one verified PASS_READ_BATCH, PASS_FIRST_RAW_BLOCK or
    // PASS_NEXT_RAW_BLOCK of the given kind. A read whose blocks break
    // their order or its limits is dropped whole. A read sent whole comes
    // back with frame_samples pointing into the envelope, so the envelope
    // must outlive the use of the completed reads; a read of several blocks
    // is gathered into one buffer that grows as its blocks arrive.
    Outcome add(ipc_tools::MessageType type, const ipc_tools::wire::Envelope& envelope);
    Outcome add(const ipc_tools::Message& message) { return add(message.get_type(), message.get_message_data()); }

    // Checks a verified PASS_READ_BATCH as add() does, without making its
    // reads (read_in_place makes each when it is wanted): the blocks of its
    // reads in the order sent, or the error add() would give and no blocks.
    struct BatchCheck {
        std::string error;
        std::vector<const ipc_tools::wire::ReadBlock*> blocks;
    };
    BatchCheck check_batch(const ipc_tools::wire::Envelope& envelope) const;

    // Reads whose first block has arrived but not yet their last one, and
    // the samples they declare in all.
    std::size_t partial_count() const { return m_partial.size(); }
    std::uint64_t declared_samples() const { return m_declared_samples; }

private:
    struct Partial {
        ReceivedRead read;
        std::uint32_t next_index = 1;
        std::uint32_t block_count = 0;
    };

    void drop_partial(std::uint32_t read_tag);
    // The steps of add(), one per read message kind.
    Outcome add_batch(const ipc_tools::wire::Envelope& envelope) const;
    Outcome add_first_block(const ipc_tools::wire::ReadBlock& block);
    Outcome add_next_block(const ipc_tools::wire::ReadBlock& block);

    Limits m_limits;
    std::map<std::uint32_t, Partial> m_partial;  // by read tag
    std::uint64_t m_declared_samples = 0;         // of the partial reads
};

}  // namespace reference_server
