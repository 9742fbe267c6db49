#include "corvane/server_proxy.h"

#include <algorithm>
#include <limits>

#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/request_broker.h"
#include "ipc_tools/wire_format.h"

namespace corvane::server_proxy {

namespace {

using common::diagnostics::tracing::TraceScope;
using ipc_tools::Message;
using ipc_tools::MessageType;

std::string string_of(const flatbuffers::String* text) { return text ? text->str() : std::string(); }

// The broker waits in milliseconds as a signed 32-bit count.
std::int32_t broker_timeout(unsigned int timeout) {
    return static_cast<std::int32_t>(
        std::min<unsigned int>(timeout, static_cast<unsigned int>(std::numeric_limits<std::int32_t>::max())));
}

// One question on a fresh connection: the connection ping, then the request.
Message ask(const std::string& address, unsigned int timeout, Message request) {
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(address, broker_timeout(timeout));
    Message reply;
    broker.send_request(request, reply);
    return reply;
}

// The reply's body when the reply is of the expected kind and holds one;
// otherwise the failure is traced and thrown as InvalidResponse, naming
// what was asked for and the kind that came.
template <class Body>
const Body& expected_body(TraceScope& scope,
                          const Message& reply,
                          MessageType expected,
                          const Body* (ipc_tools::wire::Envelope::*body)() const,
                          const char* what) {
    const Body* found = reply.get_type() == expected ? (reply.get_message_data().*body)() : nullptr;
    if (!found) {
        const std::string message = std::string("Could not retrieve ") + what + " from server, invalid reply: " +
                                    ipc_tools::to_string(reply.get_type());
        scope.trace(message);
        throw ipc_tools::InvalidResponse(message);
    }
    return *found;
}

}  // namespace

BarcodeKitFields create_barcode_kit(const ipc_tools::wire::BarcodeKit& kit) {
    return {string_of(kit.kit_name()), kit.first_index(),    kit.last_index(),
            kit.is_both_ends(),        kit.has_barcode12a(), string_of(kit.normalised_pattern())};
}

std::vector<BarcodeKitFields> extract_barcoding_arrangements(const ipc_tools::wire::ConfigList& list) {
    std::vector<BarcodeKitFields> kits;
    if (const auto* entries = list.barcode_kits()) {
        kits.reserve(entries->size());
        for (const auto* kit : *entries) {
            kits.push_back(create_barcode_kit(*kit));
        }
    }
    return kits;
}

StatisticsFields get_stats_from_message(const ipc_tools::wire::Statistics& statistics) {
    StatisticsFields stats;
    stats.lifetime_reads_in = statistics.lifetime_reads_in();
    stats.lifetime_reads_out = statistics.lifetime_reads_out();
    stats.period_reads_in = statistics.period_reads_in();
    stats.period_reads_out = statistics.period_reads_out();
    if (const auto* clients = statistics.client_statistics()) {
        for (const auto* client : *clients) {
            stats.clients.emplace_back(client->input_read_count(), client->output_read_count());
        }
    }
    return stats;
}

std::vector<BarcodeKitFields> get_barcode_kits(const std::string& address, unsigned int timeout) {
    TraceScope scope(Trace::trace_context(), "get_barcode_kits");
    const auto reply = ask(address, timeout, Message(MessageType::GET_BARCODE_KITS, "", 0, ""));
    return extract_barcoding_arrangements(expected_body(
        scope, reply, MessageType::RETURN_CONFIGS, &ipc_tools::wire::Envelope::data_as_ConfigList, "barcode kits"));
}

StatisticsFields get_server_statistics(const std::string& address, unsigned int timeout) {
    TraceScope scope(Trace::trace_context(), "get_server_statistics");
    const auto reply = ask(address, timeout, Message(MessageType::GET_STATISTICS, "", 0, ""));
    return get_stats_from_message(expected_body(
        scope, reply, MessageType::RETURN_STATISTICS, &ipc_tools::wire::Envelope::data_as_Statistics, "statistics"));
}

std::string get_server_internal_state(const std::string& address, unsigned int timeout) {
    TraceScope scope(Trace::trace_context(), "get_server_internal_state");
    const auto reply = ask(address, timeout, Message(ipc_tools::QueryCode::internal_state));
    return string_of(
        expected_body(scope, reply, MessageType::RESPONSE, &ipc_tools::wire::Envelope::data_as_Reply, "state").text());
}

}  // namespace corvane::server_proxy
