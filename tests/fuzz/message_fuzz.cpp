// Arbitrary bytes as a received frame: the message must either be refused
// with its runtime_error or verify, and every read block it carries must
// then decode (or be rejected) without reading past the buffer. Raw-block
// messages also go through the reference server's reassembly.
//
// Built and run by scripts/fuzz.sh; not part of the test suite.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <zmq.hpp>

#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/wire_format.h"
#include "reference_server/data_plane/read_assembler.h"

namespace {

namespace wire = ipc_tools::wire;

// The continuation hands back the first block again a few times, then
// fails, so a huge block count cannot make one input run for ever.
constexpr int max_continuations = 3;

void decode(const wire::ReadBlock& block) {
    common::ReadHolder target;
    target.metadata->start_time = 10;
    target.metadata->sampling_rate = 4000.0f;
    target.metadata->time_stamp = "2024-01-01T00:00:00Z";
    int continuations = 0;
    const ipc_tools::DecodeResult result = ipc_tools::decode_called_block(target, block, [&]() -> const wire::ReadBlock* {
        return continuations++ < max_continuations ? &block : nullptr;
    });
    static_cast<void>(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const ipc_tools::Message message(zmq::message_t(data, size));
        if (message.empty()) {
            return 0;
        }
        const wire::Envelope& envelope = message.get_message_data();
        if (const wire::ReadBlock* block = envelope.data_as_ReadBlock()) {
            decode(*block);
        }
        if (const wire::ReadBatch* batch = envelope.data_as_ReadBatch()) {
            if (batch->blocks() != nullptr) {
                for (const wire::ReadBlock* block : *batch->blocks()) {
                    decode(*block);
                }
            }
        }
        reference_server::ReadAssembler assembler;
        static_cast<void>(assembler.add(message));
    } catch (const std::runtime_error&) {
        // Refusing a corrupt frame is the expected outcome for most inputs.
    }
    return 0;
}
