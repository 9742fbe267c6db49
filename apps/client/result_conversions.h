#pragma once

// Conversions from the engine's internal codes to the public result codes.
// Every conversion throws std::runtime_error for a value outside its table.

#include <optional>

#include "apps/client/result_codes.h"
#include "corvane/client_status.h"

namespace corvane {

// Identity, enumerator by enumerator.
apps::ConnectionStatus to_connection_status(ClientStatus status);

ClientQueueReadsResult to_client_result(BufferQueueReadsResult result);

apps::PassReadResult to_pass_read_result(ClientQueueReadsResult result);

// The result of a connection attempt that ended in error; no_error gives
// nothing (the attempt counts as successful).
std::optional<apps::Result> to_result(ConnectionError error);

}  // namespace corvane
