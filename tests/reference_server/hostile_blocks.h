#pragma once

// Read blocks and batches as a careless or hostile client could write them:
// any kind, samples, declared duration and block count.

#include <cstdint>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"

namespace test_support {

// n samples of one level.
inline std::vector<std::int16_t> level_samples(std::size_t n, std::int16_t level = 500) {
    return std::vector<std::int16_t>(n, level);
}

struct HostileBlock {
    ipc_tools::wire::BlockKind kind = ipc_tools::wire::BlockKind::FIRST_RAW_BLOCK;
    std::uint32_t tag = 1;
    std::uint32_t block_index = 0;
    std::uint32_t block_count = 1;
    std::uint32_t duration = 10;
    std::vector<std::int16_t> samples = level_samples(10);
    std::string read_id = "r";
};

inline flatbuffers::Offset<ipc_tools::wire::ReadBlock> write_block(flatbuffers::FlatBufferBuilder& builder,
                                                                    const HostileBlock& block,
                                                                    std::uint32_t tag) {
    return ipc_tools::wire::CreateReadBlockDirect(builder, block.kind, tag, block.block_index, block.block_count,
                                                  block.duration, 0.0f, 0.0f, block.read_id.c_str(), &block.samples);
}

// The block alone, in a message of client uid.
inline ipc_tools::Message block_message(const std::string& uid, const HostileBlock& block) {
    flatbuffers::FlatBufferBuilder builder;
    const auto written = write_block(builder, block, block.tag);
    ipc_tools::finish_envelope(builder, uid, ipc_tools::wire::MessageData::ReadBlock, written.Union());
    return ipc_tools::Message(builder);
}

// The blocks in one read batch of client uid, tagged first_tag, first_tag + 1,
// ... whatever tags they name.
inline ipc_tools::Message batch_message(const std::string& uid,
                                        const std::vector<HostileBlock>& blocks,
                                        std::uint32_t first_tag) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<ipc_tools::wire::ReadBlock>> written;
    for (const HostileBlock& block : blocks) {
        written.push_back(write_block(builder, block, first_tag + static_cast<std::uint32_t>(written.size())));
    }
    const auto batch = ipc_tools::wire::CreateReadBatch(builder, ipc_tools::wire::BatchKind::READ_BATCH,
                                                        builder.CreateVector(written));
    ipc_tools::finish_envelope(builder, uid, ipc_tools::wire::MessageData::ReadBatch, batch.Union());
    return ipc_tools::Message(builder);
}

}  // namespace test_support
