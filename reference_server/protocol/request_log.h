#pragma once

// The line the reference server logs for each answered request:
//
//   CONNECT -> CONNECTED
//   PASS_READ_BATCH client=7 -> NOT_READY [fault: reply]
//   LOAD_CONFIG -> SUCCESS value=0 text="ref_dna_fast" reply_text=""   (verbosity 2)
//
// Whatever a client sent (its id, its texts, and replies that quote them)
// is escaped (utf8_text.h), so a line is always one line.
//
// Pure function; any thread.

#include <string>

#include "reference_server/protocol/request_handler.h"

namespace reference_server {

// Verbosity 1 names the request, its client and the reply; 2 adds the texts.
std::string request_log_line(const RequestRecord& record, int verbosity);

}  // namespace reference_server
