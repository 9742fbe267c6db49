#pragma once

// Conversions from the engine's internal codes to the public result codes,
// which only the facade hands out. Every conversion throws
// std::runtime_error for a value outside its table.

#include <optional>

#include "apps/client/result_codes.h"
#include "corvane/client_status.h"

namespace apps {

// Identity, enumerator by enumerator.
ConnectionStatus to_connection_status(corvane::ClientStatus status);

PassReadResult to_pass_read_result(corvane::ClientQueueReadsResult result);

// The result of a connection attempt that ended in error; no_error gives
// nothing (the attempt counts as successful).
std::optional<Result> to_result(corvane::ConnectionError error);

}  // namespace apps
