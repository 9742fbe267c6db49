#pragma once

// The work behind the exported server queries: each query opens a broker of
// its own, proves the server answers, asks one question and decodes the
// reply. Failures are thrown (the broker's exceptions, InvalidResponse for a
// reply of the wrong kind); the exported functions turn them into results.
//
// Any thread; calls share nothing.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/runtime/diagnostics/tracing.h"

namespace ipc_tools::wire {
struct BarcodeKit;
struct ConfigList;
struct Statistics;
}  // namespace ipc_tools::wire

namespace corvane::server_proxy {

// Trace domain of the queries.
class Trace : public common::diagnostics::tracing::TraceDomain<Trace> {};

// The fields of one wire BarcodeKit; absent strings read as empty.
struct BarcodeKitFields {
    std::string kit_name;
    std::int32_t first_index = 0;
    std::int32_t last_index = 0;
    bool is_both_ends = false;
    bool has_barcode12a = false;
    std::string normalised_pattern;
};

// The server's read counters, and per client its reads in and out, in the
// server's order.
struct StatisticsFields {
    std::uint64_t lifetime_reads_in = 0, lifetime_reads_out = 0, period_reads_in = 0, period_reads_out = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> clients;  // reads in, reads out
};

BarcodeKitFields create_barcode_kit(const ipc_tools::wire::BarcodeKit& kit);
// Every kit of the list in order; none when the list has no kits.
std::vector<BarcodeKitFields> extract_barcoding_arrangements(const ipc_tools::wire::ConfigList& list);
StatisticsFields get_stats_from_message(const ipc_tools::wire::Statistics& statistics);

std::vector<BarcodeKitFields> get_barcode_kits(const std::string& address, unsigned int timeout);
StatisticsFields get_server_statistics(const std::string& address, unsigned int timeout);
std::string get_server_internal_state(const std::string& address, unsigned int timeout);

}  // namespace corvane::server_proxy
