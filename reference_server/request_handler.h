#pragma once

// Turns one request frame into one reply frame for the reference server.
//
// Each request kind has an entry in a handler table; kinds without an entry
// (the read data plane, TERMINATE, and every reply kind sent as a request)
// are answered BAD_REQUEST. Whatever bytes arrive, the answer is a reply
// frame: an unreadable request is answered BAD_REQUEST with the reason.
// Injected faults are applied here, so that every kind of request can be
// made to fail.
//
// Server thread only; the state and the fault plan do their own locking.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"
#include "reference_server/fault_plan.h"
#include "reference_server/server_state.h"

namespace reference_server {

// One answered request, for the request log.
struct RequestRecord {
    ipc_tools::MessageType request = ipc_tools::MessageType::UNSET;
    std::string client_id;
    std::int32_t value = 0;
    std::string text;
    ipc_tools::MessageType reply = ipc_tools::MessageType::UNSET;
    std::string reply_text;
    std::string fault;  // name of the injected fault, empty when none
};

class RequestHandler {
public:
    RequestHandler(std::shared_ptr<ServerState> state, std::shared_ptr<FaultPlan> faults);

    struct Outcome {
        zmq::message_t reply;
        std::chrono::milliseconds delay{0};  // hold the reply back this long
        RequestRecord record;
    };

    Outcome handle(zmq::message_t&& request_frame);

    // Whether records carry the reply's text; reading it back costs a
    // verification per request, so only a request log asks for it.
    void set_record_reply_text(bool enabled) { m_record_reply_text = enabled; }

private:
    struct Request {
        ipc_tools::MessageType type = ipc_tools::MessageType::UNSET;
        std::string client_id;
        std::int32_t value = 0;
        std::string text;
    };

    using Handler = ipc_tools::Message (RequestHandler::*)(const Request&);

    ipc_tools::Message answer(const Request& request);
    ipc_tools::Message on_heartbeat_ping(const Request& request);
    ipc_tools::Message on_load_config(const Request& request);
    ipc_tools::Message on_load_index(const Request& request);
    ipc_tools::Message on_load_bed(const Request& request);
    ipc_tools::Message on_get_configs(const Request& request);
    ipc_tools::Message on_get_indices(const Request& request);
    ipc_tools::Message on_connect(const Request& request);
    ipc_tools::Message on_disconnect(const Request& request);
    ipc_tools::Message on_query(const Request& request);
    ipc_tools::Message on_get_statistics(const Request& request);
    ipc_tools::Message on_get_barcode_kits(const Request& request);
    ipc_tools::Message on_no_more_data(const Request& request);

    std::shared_ptr<ServerState> m_state;
    std::shared_ptr<FaultPlan> m_faults;
    std::array<Handler, ipc_tools::message_type_count> m_handlers{};
    bool m_record_reply_text = false;
};

// Reply frames that no well-behaved server sends, for fault injection and
// for tests of the client side.
zmq::message_t make_short_frame();
zmq::message_t make_foreign_identifier_frame();
zmq::message_t make_corrupt_frame();
zmq::message_t make_unknown_kind_frame();

}  // namespace reference_server
