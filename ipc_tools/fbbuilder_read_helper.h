#pragma once

// Reads on the wire: raw signal out as ReadBlock / ReadBatch messages, and
// called results back into a read record.
//
//   auto messages = make_raw_block_messages(read, connection_id, 256000);
//   ...
//   DecodeResult result = decode_called_block(target, *block, [&] { return next_block(); });
//
// Nothing here keeps state between calls; every function may be called from
// any thread on data that thread owns.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "common/read_model/read_holder.h"
#include "ipc_tools/ipc_tools.h"

namespace ipc_tools {

namespace wire {
struct ReadBlock;
}

// One PASS_FIRST_RAW_BLOCK followed by the PASS_NEXT_RAW_BLOCK messages of
// one read, at most max_block_size samples each (at least 1). A read of no
// samples still gets its one (empty) first block, so that it is answered
// like any other read instead of silently never being sent. Each message's
// buffer comes from allocator (the default heap when null), which must
// outlive the messages.
std::vector<Message> make_raw_block_messages(const common::ReadHolder& read,
                                             const std::string& connection_id,
                                             std::uint64_t max_block_size,
                                             flatbuffers::Allocator* allocator = nullptr);

// One PASS_READ_BATCH holding every read whole, in the given order.
Message make_read_batch_message(std::span<const common::ReadHolder* const> reads,
                                const std::string& connection_id,
                                flatbuffers::Allocator* allocator = nullptr);
Message make_read_batch_message(std::span<const common::ReadHolder> reads,
                                const std::string& connection_id,
                                flatbuffers::Allocator* allocator = nullptr);

// The builder room that holds a whole raw block of sample_count samples of
// read, or a whole batch of reads, with its envelope: building in a builder
// of that size never regrows it.
std::size_t raw_block_builder_size(const common::ReadHolder& read,
                                   std::uint64_t sample_count,
                                   const std::string& connection_id);
std::size_t read_batch_builder_size(std::span<const common::ReadHolder* const> reads,
                                    const std::string& connection_id);

enum class DecodeFailure {
    none,
    zero_duration,
    genome_name_too_long,  // detail: the genome name
    failed_continuation,
    malformed_data,  // detail: what was wrong with the block
};

struct DecodeResult {
    DecodeFailure failure = DecodeFailure::none;
    std::string detail;

    bool ok() const noexcept { return failure == DecodeFailure::none; }
};

// Hands back the next returned block of the read being decoded, or null when
// it could not be obtained. The block must stay valid until the next call.
using NextCalledBlock = std::function<const wire::ReadBlock*()>;

// Applies a returned block (and, through next, the block_count - 1 blocks
// that continue it) to target. On failure the values of the steps before the
// failing one stay written; data sets are stored only once every block has
// arrived, and only those the target does not hold yet. Malformed server
// data is reported as malformed_data, never trusted: no read runs past the
// received bytes. The alignment_data group is left to the caller, which
// fills it from the stored align_results table.
DecodeResult decode_called_block(common::ReadHolder& target, const wire::ReadBlock& first, const NextCalledBlock& next);

// Appends num_bits flags, least significant bit of each byte first. Returns
// false, appending nothing, when packed holds fewer than num_bits bits.
[[nodiscard]] bool append_packed_bits(std::vector<bool>& flags,
                                      std::span<const std::uint8_t> packed,
                                      std::uint64_t num_bits);

}  // namespace ipc_tools
