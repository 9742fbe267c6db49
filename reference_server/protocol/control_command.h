#pragma once

// The run-time control of a running reference server: one JSON command per
// request on the control socket (reference_server --control ADDRESS, a
// ZeroMQ reply socket), one JSON answer per command.
//
//   {"command": "add_fault", "fault": {"request": "PASS_FIRST_RAW_BLOCK",
//                                      "action": "reply", "reply": "NOT_READY",
//                                      "every": 3, "once_per_read": true}}
//   {"command": "clear_faults"}
//   {"command": "restart"}                          forget every client and read now
//   {"command": "restart_after", "requests": 100}   once, after that many requests
//   {"command": "restart_every", "requests": 100}   each time that many more were answered
//   {"command": "unload_index", "path": "/ref/a.fa"}  the indices loaded from that file
//   {"command": "status"}
//   {"command": "stop"}                             end the server once answered
//
// Answers: {"ok": true} (unload_index adds "unloaded", how many indices
// went; status adds "fault_rules", "clients", "requests_answered", and the
// alignment indices kept, "indices", and the loads running, "loads"), or
// {"ok": false, "error": "..."} naming what was wrong.
//
// "stop" is taken only where the caller passes stop_requested (a server
// program, not one run inside another process): it is set, and the caller
// stops after sending the answer.
//
// Server thread; the plan and the state do their own locking.

#include <cstdint>
#include <string>

#include "reference_server/alignment/alignment_service.h"
#include "reference_server/settings/fault_plan.h"
#include "reference_server/settings/server_state.h"

namespace reference_server {

// Without an alignment service, unload_index is unknown and status names
// no indices.
std::string run_control_command(const std::string& command_text,
                                FaultPlan& faults,
                                const ServerState& state,
                                std::uint64_t requests_answered,
                                AlignmentService* alignment = nullptr,
                                bool* stop_requested = nullptr);

}  // namespace reference_server
