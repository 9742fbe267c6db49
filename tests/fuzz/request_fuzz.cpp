// Arbitrary bytes as a request to the reference server: RequestHandler must
// answer every frame with a reply that verifies, and stay usable. Each input
// meets a fresh server with one connected client (connection id "1", as the
// seeds use), so data-plane requests reach the reassembly and the caller;
// the input is followed by the client's own GET_FIRST_CALLED_BLOCK and
// GET_NEXT_CALLED_BLOCK, which build the replies of whatever it passed.
//
// Built and run by scripts/fuzz.sh; not part of the test suite.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"
#include "reference_server/protocol/request_handler.h"

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;

// The handler's promise: a frame that verifies, of a kind a client knows.
void check(reference_server::RequestHandler::Outcome outcome) {
    const Message reply(std::move(outcome.reply));
    if (reply.empty() || reply.get_type() == MessageType::UNSET) {
        std::abort();
    }
    static_cast<void>(reply.get_message_data());
}

reference_server::ServerSettings fuzz_settings() {
    auto settings = reference_server::default_settings();
    settings.data_plane.called_block_bases = 16;
    settings.data_plane.max_read_samples = 1 << 16;
    // Reads are called within the one handled request, where a fault shows.
    settings.data_plane.caller_threads = 0;
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const reference_server::ServerSettings settings = fuzz_settings();
    auto state = std::make_shared<reference_server::ServerState>(settings);
    auto faults = std::make_shared<reference_server::FaultPlan>();
    reference_server::RequestHandler handler(state, faults);
    check(handler.handle(frame_of(Message(MessageType::LOAD_CONFIG, "", 0, "ref_dna_fast"))));
    check(handler.handle(frame_of(Message(MessageType::CONNECT, "", 1,
                                          "ref_dna_fast:>timeout_interval=30>client_name=fuzz>barcode_kits=KIT-12"
                                          ">estimate_poly_a=1"))));

    check(handler.handle(zmq::message_t(data, size)));
    check(handler.handle(frame_of(Message(MessageType::GET_FIRST_CALLED_BLOCK, "1", 1, ""))));
    check(handler.handle(frame_of(Message(MessageType::GET_NEXT_CALLED_BLOCK, "1", 1, "read-1"))));
    return 0;
}
