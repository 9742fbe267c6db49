#pragma once

// Turns one request frame into one reply frame for the reference server.
//
// handle() parses the frame (verifying it once), applies any injected fault,
// dispatches to the handler of the request's kind and records the outcome
// for the request log. Kinds without a handler (TERMINATE, and every reply
// kind sent as a request) are answered BAD_REQUEST. Whatever bytes arrive,
// the answer is a reply frame: an unreadable request is answered
// BAD_REQUEST with the reason.
//
// The read data plane (data_plane.h) and so every client's read state
// belong to the handler. Server thread only; the state and the fault plan
// do their own locking.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"
#include "reference_server/alignment/alignment_service.h"
#include "reference_server/data_plane/data_plane.h"
#include "reference_server/model/basecaller.h"
#include "reference_server/settings/fault_plan.h"
#include "reference_server/data_plane/received_request.h"
#include "reference_server/settings/server_state.h"

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
    using Clock = std::chrono::steady_clock;

    // The data plane calls reads with call_read (the stand-in basecaller
    // unless a test gives another).
    RequestHandler(std::shared_ptr<ServerState> state,
                   std::shared_ptr<FaultPlan> faults,
                   CallRead call_read = &reference_server::call_read);

    struct Outcome {
        zmq::message_t reply;
        std::chrono::milliseconds delay{0};  // hold the reply back this long
        RequestRecord record;
    };

    Outcome handle(zmq::message_t&& request_frame, Clock::time_point now);
    Outcome handle(zmq::message_t&& request_frame) { return handle(std::move(request_frame), Clock::now()); }

    // Between requests: forgets clients silent for longer than their
    // timeout, and restarts when asked to from another thread.
    void tick(Clock::time_point now);

    // Whether records carry the reply's text; reading it back costs a
    // verification per request, so only a request log asks for it.
    void set_record_reply_text(bool enabled) { m_record_reply_text = enabled; }

    // The data plane's caller threads, started and stopped with the server.
    void start_calling() { m_data_plane.start_calling(); }
    void stop_calling() { m_data_plane.stop_calling(); }

    // Server thread, between requests: for the run-time control.
    AlignmentService& alignment() { return m_alignment; }

private:
    using Handler = ipc_tools::Message (RequestHandler::*)(const ReceivedRequest&);

    // The steps of handle(): a fault may answer in place of the handler;
    // either way the outcome is then recorded.
    // What a fault does to the request being handled, besides a reply of its own.
    struct Effects {
        Malformation malformation = Malformation::none;
        std::chrono::milliseconds extra_latency{0};
        bool lose_reads = false;
    };

    std::optional<ipc_tools::Message> apply_fault(const ReceivedRequest& request,
                                                  Clock::time_point now,
                                                  Outcome& outcome);
    void restart();
    ipc_tools::Message dispatch(const ReceivedRequest& request);
    void record(const ReceivedRequest& request, std::optional<ipc_tools::Message> reply, Outcome& outcome) const;

    ipc_tools::Message on_heartbeat_ping(const ReceivedRequest& request);
    ipc_tools::Message on_load_config(const ReceivedRequest& request);
    ipc_tools::Message on_load_index(const ReceivedRequest& request);
    ipc_tools::Message on_load_bed(const ReceivedRequest& request);
    ipc_tools::Message on_get_configs(const ReceivedRequest& request);
    ipc_tools::Message on_get_indices(const ReceivedRequest& request);
    ipc_tools::Message on_connect(const ReceivedRequest& request);
    ipc_tools::Message on_disconnect(const ReceivedRequest& request);
    ipc_tools::Message on_query(const ReceivedRequest& request);
    ipc_tools::Message on_get_statistics(const ReceivedRequest& request);
    ipc_tools::Message on_get_barcode_kits(const ReceivedRequest& request);
    ipc_tools::Message on_no_more_data(const ReceivedRequest& request);
    ipc_tools::Message on_pass_reads(const ReceivedRequest& request);
    ipc_tools::Message on_get_first_called_block(const ReceivedRequest& request);
    ipc_tools::Message on_get_next_called_block(const ReceivedRequest& request);
    void report_backlog(const std::string& client_id);

    std::shared_ptr<ServerState> m_state;
    std::shared_ptr<FaultPlan> m_faults;
    std::array<Handler, ipc_tools::message_type_count> m_handlers{};
    bool m_record_reply_text = false;
    DataPlane m_data_plane;
    AlignmentService m_alignment;
    std::map<std::string, Clock::time_point> m_stalled_until;  // by connection id
    // Of the request being handled.
    Clock::time_point m_now;
    Effects m_effects;
};

// Reply frames that no well-behaved server sends, for fault injection and
// for tests of the client side.
zmq::message_t make_short_frame();
zmq::message_t make_foreign_identifier_frame();
zmq::message_t make_corrupt_frame();
zmq::message_t make_unknown_kind_frame();

}  // namespace reference_server
